// ktr40e-sim: a KTR-40 power system on a serial port or a pseudo-terminal.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cmdline/command_line.h"
#include "sim/simulator.h"

namespace {

const char kDescription[] =
    "A KTR-40 power system on a serial port or a new pseudo-terminal. With --pty (the default) the\n"
    "path of the line to open is printed on standard output; with --link that path is PATH, a\n"
    "symbolic link that follows the line when it hangs up and comes back. Options given here win\n"
    "over the configuration file.\n"
    "A share is a probability per answer from 0 to 1; --delay alone slows every answer.\n"
    "--truncate cuts INFO short (LENGTH and CHKSUM still right); --overcount sends a count the\n"
    "driver cannot keep or does not expect (--overcount-kind picks one); --hang-up closes the line\n"
    "instead of answering and reopens it after --away MS (needs --link).\n"
    "--late-every N answers every Nth request only after --delay MS (and still answers the host's\n"
    "repeat); --echo sends every request back before its answer, as a two-wire RS-485 line does;\n"
    "--tcp PORT serves TCP clients on 127.0.0.1:PORT (0: a free port, printed) like a serial server;\n"
    "--refuse 42/41 answers that command always with an empty INFO, so the driver refuses it;\n"
    "--never-answer 42/44 never answers that command; --rtn 42/46:04 answers it always with that\n"
    "return code (hex) and no INFO, as firmware without the command does.";

struct Options {
    std::string configPath;
    std::string port;
    std::string link;
    int tcpPort = -1;  // -1: no TCP server
    bool echo = false;
    bool verbose = false;
};

// Settings that win over the configuration file: each option given is kept as a change and
// made once the file has been read. A new one is one add() call.
class Overrides {
public:
    explicit Overrides(CLI::App& cli) : cli_(cli) {}

    template <typename T>
    CLI::Option* add(const std::string& name, const char* type, const std::string& help,
                     std::function<void(sim::SimConfig&, T)> change) {
        return cli_
            .add_option_function<T>(
                name,
                [this, change](const T& value) {
                    changes_.push_back([change, value](sim::SimConfig& c) { change(c, value); });
                },
                help)
            ->type_name(type);
    }

    void apply(sim::SimConfig& config) const {
        for (const auto& change : changes_) change(config);
    }

private:
    CLI::App& cli_;
    std::vector<std::function<void(sim::SimConfig&)>> changes_;
};

using Milliseconds = std::chrono::milliseconds;

void add_fault_options(Overrides& overrides) {
    struct Share {
        const char* name;
        double sim::Faults::*field;
        const char* help;
    };
    const Share shares[] = {
        {"--drop", &sim::Faults::drop, "Share of the answers left out"},
        {"--corrupt", &sim::Faults::corrupt, "Share of the answers with a wrong checksum"},
        {"--wrong-cid1", &sim::Faults::wrongCid1, "Share of the answers with another group's CID1"},
        {"--wrong-count", &sim::Faults::wrongCount, "Share of the answers with a unit count one too high"},
        {"--truncate", &sim::Faults::truncate, "Share of the answers with INFO cut short"},
        {"--overcount", &sim::Faults::overcount, "Share of the answers with a count the driver cannot keep"},
        {"--hang-up", &sim::Faults::hangUp, "Share of the requests answered by hanging up (needs --link)"},
    };
    for (const Share& share : shares) {
        overrides
            .add<double>(share.name, "SHARE", share.help,
                         [field = share.field](sim::SimConfig& c, double value) { c.faults.*field = value; })
            ->check(CLI::Range(0.0, 1.0));
    }
    overrides
        .add<std::uint64_t>("--late-every", "N", "Every Nth request answered only after --delay",
                            [](sim::SimConfig& c, std::uint64_t n) { c.faults.lateEvery = n; })
        ->check(CLI::Range(0, 1000000));
    overrides.add<std::string>("--refuse", "CID1/CID2", "Answer that command with an empty INFO",
                               [](sim::SimConfig& c, std::string text) {
                                   const std::optional<std::uint16_t> command = sim::command_in(text);
                                   if (!command)
                                       throw CLI::ValidationError("--refuse", "expects a command such as 42/41");
                                   c.faults.refuse = *command;
                               });
    overrides.add<std::string>("--never-answer", "CID1/CID2", "Never answer that command",
                               [](sim::SimConfig& c, std::string text) {
                                   const std::optional<std::uint16_t> command = sim::command_in(text);
                                   if (!command)
                                       throw CLI::ValidationError("--never-answer", "expects a command such as 42/44");
                                   c.faults.neverAnswer = *command;
                               });
    overrides.add<std::string>("--rtn", "CID1/CID2:RTN", "Answer that command with that return code (hex)",
                               [](sim::SimConfig& c, std::string text) {
                                   const auto answer = sim::command_rtn_in(text);
                                   if (!answer)
                                       throw CLI::ValidationError("--rtn", "expects a command and code: 42/46:04");
                                   c.faults.rtnCommand = answer->first;
                                   c.faults.rtn = answer->second;
                               });
    CLI::Option* slow = overrides.add<double>("--slow", "SHARE", "Share of the answers sent after --delay",
                                              [](sim::SimConfig& c, double share) { c.faults.slow = share; });
    slow->check(CLI::Range(0.0, 1.0));
    overrides
        .add<long>("--delay", "MS", "Delay of slow answers (alone: of every answer)",
                   [slow](sim::SimConfig& c, long ms) {
                       c.faults.delay = Milliseconds(ms);
                       if (slow->count() == 0 && c.faults.lateEvery == 0) c.faults.slow = 1;
                   })
        ->check(CLI::Range(0, 600000));
    overrides
        .add<std::size_t>("--noise", "BYTES", "Bytes of noise before every answer",
                          [](sim::SimConfig& c, std::size_t bytes) { c.faults.noise = bytes; })
        ->check(CLI::Range(0, 4096));
    overrides
        .add<long>("--away", "MS", "How long a hung-up line stays away",
                   [](sim::SimConfig& c, long ms) { c.faults.away = Milliseconds(ms); })
        ->check(CLI::Range(0, 600000));
}

// Reads the options; faults and line settings given here win over the configuration file.
// The configuration file; a mistake in it is the operator's to mend, like one on the command
// line (exit 2, the file and the key named).
sim::SimConfig config_file(const CLI::App& cli, const std::string& path) {
    try {
        return sim::load_config_file(path);
    } catch (const std::runtime_error& e) {
        cmdline::usage_error(cli, e.what());
    }
}

Options parse(int argc, char** argv, sim::SimConfig& config) {
    CLI::App cli(kDescription, "ktr40e-sim");
    cmdline::add_version_flag(cli);
    std::string overcounts;
    for (const sim::Overcount& overcount : sim::overcounts()) overcounts += std::string(" ") + overcount.name;
    cli.footer("Overcounts:" + overcounts);
    Options options;
    Overrides overrides(cli);
    cli.add_option("--config", options.configPath, "Configuration file (see sim/ktr40e-sim.example.json)")
        ->type_name("FILE");
    CLI::Option* port = cli.add_option("--port", options.port, "Serial device to answer on")->type_name("DEVICE");
    CLI::Option* pty = cli.add_flag("--pty", "Answer on a new pseudo-terminal (the default)")->excludes(port);
    cli.add_option("--link", options.link, "Symbolic link to the pseudo-terminal")->type_name("PATH")->excludes(port);
    overrides
        .add<int>("--baud", "N", "Pace of the answers (0: at once)", [](sim::SimConfig& c, int baud) { c.baud = baud; })
        ->check(CLI::Range(0, 230400));
    overrides
        .add<unsigned>("--address", "N", "Address answered",
                       [](sim::SimConfig& c, unsigned address) { c.address = static_cast<std::uint8_t>(address); })
        ->check(CLI::Range(0, 255));
    add_fault_options(overrides);
    overrides.add<std::string>("--overcount-kind", "NAME", "Only this overcount (see below)",
                               [](sim::SimConfig& c, std::string name) { c.faults.overcountKind = std::move(name); });
    overrides.add<std::uint32_t>("--seed", "N", "Seed of the faults and the drift (0: random)",
                                 [](sim::SimConfig& c, std::uint32_t seed) { c.seed = seed; });
    cli.add_option("--tcp", options.tcpPort, "Serve TCP clients on 127.0.0.1:PORT (0: a free port)")
        ->type_name("PORT")
        ->check(CLI::Range(0, 65535));
    cli.add_flag("--echo", options.echo, "Send every request back before its answer");
    cli.add_flag("--verbose", options.verbose, "Print every request and answer on standard error");
    (void)pty;
    cmdline::parse_command_line(cli, argc, argv);

    if (!options.configPath.empty()) config = config_file(cli, options.configPath);
    overrides.apply(config);
    if (options.echo) config.faults.echo = true;
    const sim::Faults& faults = config.faults;
    if (!faults.overcountKind.empty() && sim::find_overcount(faults.overcountKind) == nullptr)
        cmdline::usage_error(cli, "no overcount " + faults.overcountKind);
    if (faults.hangUp > 0 && options.link.empty()) cmdline::usage_error(cli, "--hang-up needs --link");
    if (options.tcpPort >= 0 && (!options.port.empty() || !options.link.empty()))
        cmdline::usage_error(cli, "--tcp goes without --port and --link");
    return options;
}

void print_summary(const sim::SimConfig& config, const std::string& line) {
    const sim::SiteState& s = config.state;
    std::cerr << "ktr40e-sim: " << s.model << ", " << s.ac.size() << " AC unit(s), " << s.dc.size() << " DC unit(s), "
              << s.rectifiers.modules.size() << " rectifier module(s), address " << unsigned(config.address) << ", "
              << config.baud << " baud, on " << line << std::endl;
}

void print_stats(const sim::SimStats& st) {
    std::cerr << "ktr40e-sim: " << st.requests << " requests (" << st.refused << " refused), " << st.answers
              << " replies, " << st.dropped << " dropped, " << st.corrupted << " corrupted, " << st.wrongCid1
              << " wrong CID1, " << st.wrongCount << " wrong count, " << st.slowed << " slowed, " << st.truncated
              << " truncated, " << st.overcounted << " overcounted, " << st.hangUps << " hang-ups, " << st.otherAddress
              << " to another address, " << st.unknown << " unknown commands, " << st.refusable << " refusable, "
              << st.unanswered << " left unanswered, " << st.errorAnswers << " error answers" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    // The signals are taken by sigwait below, never by the line thread. A signal a parent
    // shell set to be ignored would never reach sigwait, hence the default dispositions first.
    std::signal(SIGINT, SIG_DFL);
    // A reader that leaves standard output or error makes a failed write, not a kill.
    std::signal(SIGPIPE, SIG_IGN);
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
            simulator.start(line::SerialPort(options.port, config.baud));
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
