#include "site/app/discover_command.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "site/discover/addresses.h"
#include "site/discover/findings.h"
#include "site/discover/survey.h"
#include "site/trace/console.h"
#include "site/config/site_config.h"
#include "site/config/site_keys.h"
#include "site/config/usage_error.h"

namespace app {
namespace {

using std::chrono::milliseconds;

// Besides 0: no power system found, one that differs from the site file, or a port that could
// not be used.
constexpr int kExitMissing = 1;

line::LineFormat format_of(const DiscoverOptions& options) {
    line::LineFormat format;
    format.parity = options.parity == "even"  ? line::Parity::Even
                    : options.parity == "odd" ? line::Parity::Odd
                                              : line::Parity::None;
    format.stopBits = options.stopBits;
    return format;
}

// The scan's answer time from the baud rate unless given; a system that has answered gets at
// least the host's reply timeout for each further answer.
discover::Timing timing_for(int baud, long answerTimeMs, milliseconds replyTimeout) {
    discover::Timing timing;
    timing.answerTime = answerTimeMs > 0 ? milliseconds(answerTimeMs) : discover::answer_time(baud);
    timing.questionTime = std::max(timing.answerTime, replyTimeout);
    return timing;
}

// Whole seconds, rounded up: "3 s", "2 min 35 s".
std::string duration_text(milliseconds time) {
    const long long seconds = std::chrono::ceil<std::chrono::seconds>(time).count();
    if (seconds < 60) return std::to_string(seconds) + " s";
    return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
}

std::string versions_text(const std::vector<std::uint8_t>& versions) {
    std::string text = versions.size() == 1 ? "protocol version " : "protocol versions ";
    for (std::size_t i = 0; i < versions.size(); ++i)
        text += (i == 0 ? "" : ", then ") + discover::version_text(versions[i]);
    return text;
}

std::string announcement(const discover::LineSettings& line, const discover::ScanOptions& scan) {
    return "scanning " + line.port + " (" + std::to_string(line.baud) + " " + line::format_text(line.format) +
           "): addresses " + discover::addresses_text(scan.addresses) + ", " + versions_text(scan.versions) + ", " +
           std::to_string(scan.timing.answerTime.count()) + " ms for each answer: at most " +
           duration_text(discover::longest_scan(scan)) + ", and a few seconds more for each power system found";
}

bool stop_requested(int stopFd) {
    pollfd p{stopFd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

// "address 37 (37 of 254), 1 found so far": rewritten in place on a terminal; elsewhere a console line at
// each tenth of the way.
class ProgressLine {
public:
    explicit ProgressLine(std::size_t total) : total_(total), terminal_(::isatty(STDERR_FILENO) == 1) {}
    ~ProgressLine() { clear(); }

    void show(std::uint8_t address, std::size_t nth, std::size_t found) {
        const std::string text = "address " + std::to_string(address) + " (" + std::to_string(nth) + " of " +
                                 std::to_string(total_) + "), " + std::to_string(found) + " found so far";
        if (terminal_) {
            std::fprintf(stderr, "\r\033[K%s", text.c_str());
            std::fflush(stderr);
            shown_ = true;
            return;
        }
        const std::size_t tenth = nth * 10 / total_;
        if (nth > 1 && tenth == lastTenth_) return;
        lastTenth_ = tenth;
        site::console(site::Level::Info, text);
    }

    // Before any other line is printed.
    void clear() {
        if (!shown_) return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        shown_ = false;
    }

private:
    std::size_t total_;
    bool terminal_;
    bool shown_ = false;
    std::size_t lastTenth_ = 0;
};

std::string found_text(const discover::AddressResult& result) {
    return "address " + std::to_string(result.address) + ": \"" + line::printable(result.survey.model) +
           "\", protocol version " + discover::version_text(result.survey.version);
}

int discover_line(const DiscoverOptions& options, int stopFd) {
    site::check_port(options.port);
    discover::ScanOptions scan;
    scan.addresses = discover::parse_addresses(options.addresses);
    if (options.protocolVersion != 0) scan.versions = {static_cast<std::uint8_t>(options.protocolVersion)};
    scan.timing = timing_for(options.baud, options.answerTimeMs, site::SystemConfig().replyTimeout);
    const discover::LineSettings line{options.port, options.baud, format_of(options)};
    discover::LineAsker asker(line.port, line.baud, line.format);
    const std::string refusal = asker.open();
    if (!refusal.empty()) {
        site::console(site::Level::Error, "port " + refusal);
        return kExitMissing;
    }
    site::console(site::Level::Info, announcement(line, scan));

    ProgressLine progress(scan.addresses.size());
    discover::ScanObserver observer;
    observer.stopRequested = [stopFd] { return stop_requested(stopFd); };
    observer.asking = [&progress](std::uint8_t address, std::size_t nth, std::size_t found) {
        progress.show(address, nth, found);
    };
    observer.found = [&progress](const discover::AddressResult& result) {
        progress.clear();
        site::console(site::Level::Info, found_text(result));
    };
    const discover::ScanResult result = discover::scan(asker, scan, observer);
    progress.clear();

    if (result.stopped) site::console(site::Level::Warn, "stopped before the last address");
    if (!result.lineError.empty()) site::console(site::Level::Error, "line failed: " + result.lineError);
    site::console(site::Level::Info, line.port + ": " + discover::scan_table(result, scan.addresses));
    const Json::Value site = discover::site_json(result.results, line);
    if (site["systems"].empty()) return kExitMissing;
    // The host reads what is printed: a file it would refuse is this program's fault.
    try {
        site::parse_site(site, "", "the discovered site");
    } catch (const site::UsageError& e) {
        throw std::logic_error(std::string("the site file written does not read back: ") + e.what());
    }
    std::cout << discover::site_text(site) << std::flush;
    return result.lineError.empty() ? 0 : kExitMissing;
}

std::uint8_t address_of(const site::SystemConfig& system) {
    return static_cast<std::uint8_t>(system.settings.get("address", 1).asUInt());
}

// What differs between one system of the site file and its answers.
std::vector<std::string> check_system(const site::SystemConfig& system, const DiscoverOptions& options) {
    if (system.port.empty()) return {"no port: the built-in simulator is not asked"};
    discover::LineAsker asker(system.port, system.baud, system.format);
    const std::string refusal = asker.open();
    if (!refusal.empty()) return {"port " + refusal};
    const Json::Value& settings = system.settings;
    const auto version = static_cast<std::uint8_t>(settings.get("protocol_version", discover::kProtocol20).asUInt());
    const std::uint8_t other = version == discover::kProtocol20 ? discover::kProtocol21 : discover::kProtocol20;
    discover::Surveyor surveyor(asker, timing_for(system.baud, options.answerTimeMs, system.replyTimeout));
    const discover::AddressResult result = surveyor.visit(address_of(system), {version, other});
    if (!surveyor.line_error().empty()) return {"line failed: " + surveyor.line_error()};
    return discover::differences(system, result);
}

int check_site(const DiscoverOptions& options, int stopFd) {
    const site::SiteConfig site = site::load_site_file(options.site);
    std::size_t differing = 0;
    for (const site::SystemConfig& system : site.systems) {
        if (stop_requested(stopFd)) {
            site::console(site::Level::Warn, "stopped before every power system was asked");
            return kExitMissing;
        }
        const std::string title = "power system " + std::to_string(system.dataId) + " (address " +
                                  std::to_string(address_of(system)) + " on " +
                                  (system.port.empty() ? "no port" : system.port) + ")";
        const std::vector<std::string> found = check_system(system, options);
        if (found.empty()) {
            site::console(site::Level::Info, title + ": agrees with the site file");
            continue;
        }
        ++differing;
        std::string text = title + " differs from the site file:";
        for (const std::string& difference : found) text += "\n  " + difference;
        site::console(site::Level::Warn, text);
    }
    if (differing == 0) return 0;
    site::console(site::Level::Warn, std::to_string(differing) + " of " + std::to_string(site.systems.size()) +
                                         " power systems differ from " + options.site);
    return kExitMissing;
}

CLI::Validator validator_of(void (*check)(const std::string&)) {
    return CLI::Validator(
        [check](std::string& text) -> std::string {
            try {
                check(text);
                return {};
            } catch (const std::exception& e) {
                return e.what();
            }
        },
        "");
}

}  // namespace

CLI::App* add_discover_command(CLI::App& cli, DiscoverOptions& options) {
    CLI::App* command = cli.add_subcommand(
        "discover", "Find the power systems on a line and print their site file (or --check a site file)");
    // With --check the site file names the line, the address and the protocol version.
    std::vector<CLI::Option*> lineOptions;
    lineOptions.push_back(
        command->add_option("--port", options.port, "Serial device or tcp://HOST:PORT")->type_name("PORT"));
    lineOptions.push_back(command->add_option("--baud", options.baud, "Baud rate of the line")
                              ->type_name("N")
                              ->check(validator_of([](const std::string& text) {
                                  const bool digits = !text.empty() && text.size() <= 6 &&
                                                      text.find_first_not_of("0123456789") == std::string::npos;
                                  if (!digits || !line::supported_baud(std::stoi(text)))
                                      throw std::invalid_argument("unsupported baud rate " + text);
                              }))
                              ->capture_default_str());
    lineOptions.push_back(command->add_option("--parity", options.parity, "Parity of the line")
                              ->check(CLI::IsMember({"none", "even", "odd"}))
                              ->capture_default_str());
    lineOptions.push_back(command->add_option("--stop-bits", options.stopBits, "Stop bits of the line")
                              ->check(CLI::IsMember({1, 2}))
                              ->capture_default_str());
    lineOptions.push_back(
        command->add_option("--address", options.addresses, "Addresses to ask: N[,N...] and ranges A-B")
            ->type_name("LIST")
            ->check(validator_of([](const std::string& text) { discover::parse_addresses(text); }))
            ->capture_default_str());
    lineOptions.push_back(command
                              ->add_option("--protocol-version", options.protocolVersion,
                                           "Ask with this version only: 32 (0x20) or 33 (0x21)")
                              ->type_name("N")
                              ->check(CLI::IsMember({32, 33})));
    command
        ->add_option("--answer-time", options.answerTimeMs,
                     "Wait for each address's answer (default: from the baud rate)")
        ->type_name("MS")
        ->check(CLI::Range(1L, 60000L));
    CLI::Option* check = command->add_flag("--check", options.check, "Ask the systems of --site and say what differs");
    CLI::Option* site = command->add_option("--site", options.site, "The site file to check")->type_name("FILE");
    check->needs(site);
    site->needs(check);
    for (CLI::Option* option : lineOptions) check->excludes(option);
    command->footer(
        "Exit status: 0 a power system found (--check: every one agrees), 1 none found (or the port could not be "
        "used; --check: a difference), 2 a usage error.");
    return command;
}

int run_discover(const DiscoverOptions& options, int stopFd) {
    // Standard output carries the site file alone.
    site::set_console_output(stderr);
    return options.check ? check_site(options, stopFd) : discover_line(options, stopFd);
}

}  // namespace app
