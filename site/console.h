#pragma once
#include <string>

namespace site {

enum class Level { Debug, Info, Warn, Error };

// One line on the console: local time, level, text ("2026-12-08 11:02:03 warn  power system 1: …").
// Debug and info go to standard output, warnings and errors to standard error. Safe from any thread.
void console(Level level, const std::string& text);

}  // namespace site
