#pragma once
#include <cstdio>
#include <string>

namespace site {

enum class Level { Debug, Info, Warn, Error };

// One line on the console: local time, level, text ("2026-12-08 11:02:03 warn  power system 1: …").
// Debug and info go to standard output, warnings and errors to standard error. Safe from any thread.
void console(Level level, const std::string& text);

// Lines below `level` are left out (default: info; -v shows debug, -q only warnings and errors).
void set_console_level(Level level);
bool console_shows(Level level);

// Where debug and info lines go instead of standard output (nullptr: standard output again);
// for when descriptor 1 is taken over to catch the plug-in's own output.
void set_console_output(std::FILE* out);

// Called once, on the thread that noticed, when the reader of the debug and info lines has
// gone (`sitehost ... | head -1`); later such lines are left out. Needs SIGPIPE ignored.
void on_console_closed(void (*handler)());

}  // namespace site
