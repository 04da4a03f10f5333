// ktr40e-sim: a KTR-40 power system on a serial port or a pseudo-terminal.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

#include "sim/number_option.h"
#include "sim/simulator.h"

namespace {

const char kUsage[] =
    "usage: ktr40e-sim [--config FILE] [--port DEVICE | --pty [--link PATH] | --tcp PORT] [--baud N] [--address N]\n"
    "                  [--drop SHARE] [--corrupt SHARE] [--noise BYTES] [--wrong-cid1 SHARE]\n"
    "                  [--wrong-count SHARE] [--delay MS] [--slow SHARE] [--truncate SHARE]\n"
    "                  [--overcount SHARE] [--overcount-kind NAME] [--hang-up SHARE] [--away MS]\n"
    "                  [--late-every N] [--echo] [--refuse CID1/CID2] [--seed N] [--verbose]\n"
    "With --pty (the default) the path of the line to open is printed on standard output; with\n"
    "--link that path is PATH, a symbolic link that follows the line when it hangs up and comes back.\n"
    "A share is a probability per answer from 0 to 1; --delay alone slows every answer.\n"
    "--truncate cuts INFO short (LENGTH and CHKSUM still right); --overcount sends a count the\n"
    "driver cannot keep or does not expect (--overcount-kind picks one: see below); --hang-up\n"
    "closes the line instead of answering and reopens it after --away MS (needs --link).\n"
    "--late-every N answers every Nth request only after --delay MS (and still answers the host's\n"
    "repeat); --echo sends every request back before its answer, as a two-wire RS-485 line does;\n"
    "--tcp PORT serves TCP clients on 127.0.0.1:PORT (0: a free port, printed) like a serial server.\n"
    "--refuse 42/41 answers that command always with an empty INFO, so the driver refuses it.\n";

struct Options {
    std::string configPath;
    std::string port;
    std::string link;
    int tcpPort = -1;  // -1: no TCP server
    bool verbose = false;
};

[[noreturn]] void usage_error(const std::string& message) {
    std::cerr << "ktr40e-sim: " << message << "\n" << kUsage;
    std::exit(2);
}

double parse_number(const std::string& text, const std::string& option, double low, double high) {
    if (const std::optional<double> value = sim::number_in(text, low, high)) return *value;
    usage_error(option + " expects a number from " + std::to_string(low) + " to " + std::to_string(high));
}

// Reads the options; faults and line settings given here win over the configuration file.
Options parse(int argc, char** argv, sim::SimConfig& config) {
    Options options;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--config") options.configPath = argv[i + 1];
    }
    if (!options.configPath.empty()) config = sim::load_config_file(options.configPath);
    sim::Faults& faults = config.faults;
    bool slowGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage_error(arg + " needs a value");
            return argv[++i];
        };
        auto share = [&]() { return parse_number(value(), arg, 0, 1); };
        if (arg == "--config") {
            value();  // read above
        } else if (arg == "--port") {
            options.port = value();
        } else if (arg == "--pty") {
            options.port.clear();
        } else if (arg == "--link") {
            options.link = value();
        } else if (arg == "--tcp") {
            options.tcpPort = static_cast<int>(parse_number(value(), arg, 0, 65535));
        } else if (arg == "--late-every") {
            faults.lateEvery = static_cast<std::uint64_t>(parse_number(value(), arg, 0, 1000000));
            if (!slowGiven) faults.slow = 0;
        } else if (arg == "--echo") {
            faults.echo = true;
        } else if (arg == "--baud") {
            config.baud = static_cast<int>(parse_number(value(), arg, 0, 230400));
        } else if (arg == "--address") {
            config.address = static_cast<std::uint8_t>(parse_number(value(), arg, 0, 255));
        } else if (arg == "--drop") {
            faults.drop = share();
        } else if (arg == "--corrupt") {
            faults.corrupt = share();
        } else if (arg == "--wrong-cid1") {
            faults.wrongCid1 = share();
        } else if (arg == "--wrong-count") {
            faults.wrongCount = share();
        } else if (arg == "--slow") {
            faults.slow = share();
            slowGiven = true;
        } else if (arg == "--noise") {
            faults.noise = static_cast<std::size_t>(parse_number(value(), arg, 0, 4096));
        } else if (arg == "--delay") {
            faults.delay = std::chrono::milliseconds(static_cast<long>(parse_number(value(), arg, 0, 600000)));
            if (!slowGiven && faults.lateEvery == 0) faults.slow = 1;
        } else if (arg == "--truncate") {
            faults.truncate = share();
        } else if (arg == "--overcount") {
            faults.overcount = share();
        } else if (arg == "--overcount-kind") {
            faults.overcountKind = value();
            if (sim::find_overcount(faults.overcountKind) == nullptr) usage_error("no overcount " + faults.overcountKind);
        } else if (arg == "--hang-up") {
            faults.hangUp = share();
        } else if (arg == "--away") {
            faults.away = std::chrono::milliseconds(static_cast<long>(parse_number(value(), arg, 0, 600000)));
        } else if (arg == "--refuse") {
            const std::optional<std::uint16_t> command = sim::command_in(value());
            if (!command) usage_error("--refuse expects a command such as 42/41");
            faults.refuse = *command;
        } else if (arg == "--seed") {
            config.seed = static_cast<std::uint32_t>(parse_number(value(), arg, 0, 4294967295.0));
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage << "Overcounts:";
            for (const sim::Overcount& overcount : sim::overcounts()) std::cout << ' ' << overcount.name;
            std::cout << '\n';
            std::exit(0);
        } else {
            usage_error("unknown option " + arg);
        }
    }
    if (!options.port.empty() && !options.link.empty()) usage_error("--link goes with --pty, not --port");
    if (options.tcpPort >= 0 && (!options.port.empty() || !options.link.empty()))
        usage_error("--tcp goes without --port and --link");
    if (faults.hangUp > 0 && options.link.empty()) usage_error("--hang-up needs --link");
    return options;
}

void print_summary(const sim::SimConfig& config, const std::string& line) {
    const sim::SiteState& s = config.state;
    std::cerr << "ktr40e-sim: " << s.model << ", " << s.ac.size() << " AC unit(s), " << s.dc.size()
              << " DC unit(s), " << s.rectifiers.modules.size() << " rectifier module(s), address "
              << unsigned(config.address) << ", " << config.baud << " baud, on " << line << std::endl;
}

void print_stats(const sim::SimStats& st) {
    std::cerr << "ktr40e-sim: " << st.requests << " requests (" << st.refused << " refused), " << st.answers
              << " replies, " << st.dropped << " dropped, " << st.corrupted << " corrupted, " << st.wrongCid1
              << " wrong CID1, " << st.wrongCount << " wrong count, " << st.slowed << " slowed, " << st.truncated
              << " truncated, " << st.overcounted << " overcounted, " << st.hangUps << " hang-ups, "
              << st.otherAddress << " to another address, " << st.unknown << " unknown commands, " << st.refusable
              << " refusable" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    // The signals are taken by sigwait below, never by the line thread. A signal a parent
    // shell set to be ignored would never reach sigwait, hence the default dispositions first.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        sim::SimConfig config;
        const Options options = parse(argc, argv, config);
        sim::Simulator simulator(config);
        if (options.verbose) {
            simulator.set_trace([](const std::string& line) { std::cerr << line << std::endl; });
        }
        std::string line = options.port;
        if (options.tcpPort >= 0) {
            const std::uint16_t port = simulator.start_tcp(static_cast<std::uint16_t>(options.tcpPort));
            line = "tcp://127.0.0.1:" + std::to_string(port);
            std::cout << line << std::endl;
        } else if (line.empty()) {
            line = simulator.start_pty(options.link);
            std::cout << line << std::endl;
        } else {
            simulator.start(site::SerialPort(options.port, config.baud));
        }
        print_summary(config, line);

        int signal = 0;
        sigwait(&stopSignals, &signal);
        simulator.stop();
        print_stats(simulator.stats());
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "ktr40e-sim: " << e.what() << std::endl;
        return 1;
    }
}
