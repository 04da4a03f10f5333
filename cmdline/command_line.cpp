#include "cmdline/command_line.h"

#include <cstdlib>
#include <iostream>
#include <sstream>

namespace cmdline {
namespace {

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// CLI11 lists the arguments it did not expect after a colon, separated by blanks; an option
// among them is named first.
std::string unexpected_text(const std::string& message) {
    const auto colon = message.find(": ");
    std::istringstream words(colon == std::string::npos ? message : message.substr(colon + 2));
    std::string first;
    for (std::string word; words >> word;) {
        if (starts_with(word, "-")) return "unknown option " + word;
        if (first.empty()) first = word;
    }
    return "unexpected argument " + first;
}

}  // namespace

const char* version() { return KTR40E_VERSION; }

void add_version_flag(CLI::App& app) {
    app.set_version_flag("--version", app.get_name() + " " + version(), "Print the version and exit");
}

std::string usage_text(const CLI::ParseError& error) {
    const std::string message = error.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) return unexpected_text(message);
    // "--rounds: 1 required UINT missing"
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr && message.find(" missing") != std::string::npos)
        return message.substr(0, message.find(':')) + " needs a value";
    return message;
}

void usage_error(const CLI::App& app, const std::string& what) {
    std::cerr << app.get_name() << ": " << what << "\n"
              << "Run " << app.get_name() << " --help for the options.\n";
    std::exit(2);
}

void parse_command_line(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        std::exit(app.exit(help));
    } catch (const CLI::CallForAllHelp& help) {
        std::exit(app.exit(help));
    } catch (const CLI::CallForVersion& version) {
        std::exit(app.exit(version));
    } catch (const CLI::ParseError& error) {
        usage_error(app, usage_text(error));
    }
}

const CLI::Validator kWholeNumber(
    [](std::string& text) -> std::string {
        if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
            return "expects a whole number, not \"" + text + "\"";
        return {};
    },
    "");

CLI::Validator whole_number_in(std::uint64_t low, std::uint64_t high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            const std::string range = "from " + std::to_string(low) + " to " + std::to_string(high);
            if (!kWholeNumber(text).empty() || std::stoull(text) < low || std::stoull(text) > high)
                return "expects a whole number " + range + ", not \"" + text + "\"";
            return {};
        },
        "");
}

const CLI::Validator kNotEmpty(
    [](std::string& text) -> std::string { return text.empty() ? "must not be empty" : std::string(); }, "");

}  // namespace cmdline
