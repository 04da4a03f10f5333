#pragma once
#include <cstddef>
#include <string>
#include <vector>

// Alarm texts that carry a module number ("<prefix><n><suffix>", n counted from 1).
// Each text is built the first time its module is asked for and kept, so a polling
// round with a steady module list builds no strings.
class ModuleTexts {
public:
    ModuleTexts(std::string prefix, std::string suffix);

    // The text of the module at `index` in the module list (module number index + 1).
    const std::string& of(std::size_t index);

private:
    std::string prefix_;
    std::string suffix_;
    std::vector<std::string> texts_;
};
