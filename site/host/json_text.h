#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/json.h"

namespace site {

// Upper-case hex, two characters per byte, nothing between.
std::string hex_text(const std::vector<std::uint8_t>& bytes);

// A JSON writer that puts a value on one line: no indentation, UTF-8 kept as it is, and
// numbers with enough digits for every float the plug-in reports.
std::unique_ptr<Json::StreamWriter> make_line_writer();

}  // namespace site
