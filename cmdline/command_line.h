#pragma once
#include <cstdint>
#include <string>

#include <CLI/CLI.hpp>

namespace cmdline {

// The project's version ("1.0.0").
const char* version();

// A command line for one of the project's programs: --help, and --version printing
// "NAME VERSION". Options are added with CLI11's add_option/add_flag as usual; both
// "--opt value" and "--opt=value" work.
void add_version_flag(CLI::App& app);

// Parses the command line. --help and --version print and exit 0; a usage error (an unknown
// option, a missing or wrong value) prints "NAME: what" and a hint on standard error and exits 2.
void parse_command_line(CLI::App& app, int argc, char** argv);

// "NAME: what" and the hint on standard error, then exit 2: for checks made after parsing.
[[noreturn]] void usage_error(const CLI::App& app, const std::string& what);

// The text of a CLI11 usage error in this project's words: "unknown option --x",
// "--rounds needs a value", or CLI11's own message for the rest.
std::string usage_text(const CLI::ParseError& error);

// Checks that an option's text is a whole number (no sign, no fraction) before CLI11 converts it.
extern const CLI::Validator kWholeNumber;
// A whole number from `low` to `high`, checked as kWholeNumber is.
CLI::Validator whole_number_in(std::uint64_t low, std::uint64_t high);
// A path or name that is not empty.
extern const CLI::Validator kNotEmpty;

}  // namespace cmdline
