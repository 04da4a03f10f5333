#pragma once
#include <fstream>
#include <sstream>
#include <string>

// The whole text of a file the program under test wrote; empty when it is not there yet.
inline std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
