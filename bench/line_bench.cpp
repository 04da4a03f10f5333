// ktr40e-line-bench: one power system polled by the host program, with the real plug-in, over
// a pseudo-terminal that the simulator paces at 9600 baud. For each round: the wall time from
// the first request to the end of the round, against the least time the line allows: every
// byte sent and received at ten bits per byte, plus the 20 ms the plug-in waits before each
// answer. With --tcp the simulator serves over TCP on 127.0.0.1, as a serial device server
// does (its answers still paced at 9600 baud). With --late-every N every Nth answer comes
// 250 ms after the reply timeout; the rounds completed in a fixed time, with the reply timeout
// fixed and learned per request kind, are then compared with a clean line's. With --lacking the system's firmware lacks a command, as older firmware does:
// 42/44 is never answered, or 42/46 always answered with RTN 0x04; the rate of rounds back to
// back, after the first three rounds, is compared with a clean line's.
// usage: ktr40e-line-bench [--plugin PATH] [--rounds N] [--tcp] [--late-every N] [--lacking]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iomanip>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_output.h"
#include "host_run.h"
#include "line/frame.h"
#include "sim_farm.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBaud = 9600;
constexpr double kBitsPerByte = 10;
constexpr double kPauseSeconds = 0.020;

struct LineRound {
    double wall = 0;
    std::size_t bytes = 0;  // sent and received, frames whole
    std::size_t answers = 0;
    bool clean = true;  // no timeout, no refused frame

    double wire() const { return static_cast<double>(bytes) * kBitsPerByte / kBaud; }
    double limit() const { return wire() + static_cast<double>(answers) * kPauseSeconds; }
};

// Times each round from its first request to the host's end of round and counts its bytes.
// All its events come from the one event loop of a one-system site.
class LineWatch : public site::Observer {
public:
    void on_event(const site::Event& e) override {
        switch (e.kind) {
            case site::EventKind::Request:
                if (!inRound_) {
                    if (e.cid2 == 0x51) return;  // the model query comes once, before the first round
                    inRound_ = true;
                    started_ = Clock::now();
                    current_ = LineRound();
                }
                current_.bytes += line::encode(line::Request{0x20, 1, e.cid1, e.cid2, e.bytes}).size();
                break;
            case site::EventKind::Answer:
                if (!inRound_) return;
                current_.bytes += line::encode(line::Answer{0x20, 1, e.cid1, e.rtn, e.bytes}).size();
                ++current_.answers;
                break;
            case site::EventKind::Timeout:
            case site::EventKind::Rejected: current_.clean = false; break;
            case site::EventKind::Log:
                if (e.format.find("ProcotolError") != std::string::npos) ++protocolErrors_;
                break;
            case site::EventKind::Round:
                if (!inRound_) return;
                current_.wall = std::chrono::duration<double>(Clock::now() - started_).count();
                rounds_.push_back(current_);
                inRound_ = false;
                break;
            default: break;
        }
    }

    const std::vector<LineRound>& rounds() const { return rounds_; }
    // The plug-in's log lines about an answer that did not fit its request.
    std::uint64_t protocol_errors() const { return protocolErrors_; }

private:
    std::uint64_t protocolErrors_ = 0;
    bool inRound_ = false;
    Clock::time_point started_;
    LineRound current_;
    std::vector<LineRound> rounds_;
};

struct LineOptions {
    std::uint64_t rounds = 10;
    bool tcp = false;
    std::uint64_t lateEvery = 0;
    bool lacking = false;
};

LineOptions read_options(const std::vector<std::string>& args) {
    LineOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--rounds" && i + 1 < args.size()) {
            options.rounds = std::stoull(args[++i]);
        } else if (args[i] == "--late-every" && i + 1 < args.size()) {
            options.lateEvery = std::stoull(args[++i]);
        } else if (args[i] == "--tcp") {
            options.tcp = true;
        } else if (args[i] == "--lacking") {
            options.lacking = true;
        } else {
            throw std::invalid_argument(
                "usage: ktr40e-line-bench [--plugin PATH] [--rounds N] [--tcp] [--late-every N] [--lacking]");
        }
    }
    if (options.rounds == 0) throw std::invalid_argument("--rounds must be at least 1");
    return options;
}

// The reply timeout of the late-answer comparison, and how late the late answers come.
constexpr double kReplyTimeoutSeconds = 0.5;
constexpr int kLateBeyondTimeoutMs = 250;

void print(std::ostream& out, const std::vector<LineRound>& rounds, bool tcp) {
    out << "Line: 1 power system (2 AC units with 2 inputs, 2 DC units, 12 rectifier modules), host and\n"
           "simulator on "
        << (tcp ? "TCP over loopback (a serial server), answers" : "a pseudo-terminal")
        << " paced at 9600 baud; limit = bytes x 10 bits / 9600 + 20 ms per answer\n";
    out << std::right << std::setw(6) << "round" << std::setw(8) << "bytes" << std::setw(9) << "answers"
        << std::setw(10) << "wire ms" << std::setw(11) << "pauses ms" << std::setw(10) << "limit ms" << std::setw(9)
        << "wall ms" << std::setw(12) << "wall/limit"
        << "\n";
    std::vector<double> ratios;
    for (std::size_t i = 0; i < rounds.size(); ++i) {
        const LineRound& r = rounds[i];
        const double ratio = r.wall / r.limit();
        if (r.clean) ratios.push_back(ratio);
        out << std::setw(6) << i + 1 << std::setw(8) << r.bytes << std::setw(9) << r.answers << std::fixed
            << std::setprecision(1) << std::setw(10) << r.wire() * 1e3 << std::setw(11)
            << static_cast<double>(r.answers) * kPauseSeconds * 1e3 << std::setw(10) << r.limit() * 1e3 << std::setw(9)
            << r.wall * 1e3 << std::setprecision(3) << std::setw(12) << ratio
            << (r.clean ? "" : "  (timeout or refused frame: left out)") << "\n";
    }
    if (ratios.empty()) {
        out << "no clean round\n";
        return;
    }
    std::sort(ratios.begin(), ratios.end());
    out << std::setprecision(3) << "wall/limit over " << ratios.size() << " clean rounds: median "
        << ratios[ratios.size() / 2] << ", worst " << ratios.back() << " (target: at most " << (tcp ? "1.10" : "1.05")
        << ")\n";
}

struct Polled {
    double rounds = 0;  // completed, the first (with the model query) left out
    std::uint64_t protocolErrors = 0;
};

// Polls for `seconds` with a reply timeout of kReplyTimeoutSeconds, fixed or learned.
Polled rounds_in(const std::string& plugin, const sim::SimConfig& config, double seconds, double pollInterval,
                 bool adaptive) {
    bench::SimulatorFarm simulators(1, config);
    bench::ScratchFolder folder;
    auto watch = std::make_shared<LineWatch>();
    int stop[2];
    if (::pipe(stop) != 0) throw std::runtime_error("pipe failed");
    {
        site::SiteConfig site = bench::site_on(simulators.ports(), pollInterval, 0);
        site.systems.front().replyTimeout = std::chrono::milliseconds(static_cast<int>(kReplyTimeoutSeconds * 1000));
        site.systems.front().replyTimeoutAdaptive = adaptive;
        site::SiteHost host(std::move(site), bench::host_options(plugin, folder, watch, 0));
        std::thread timer([&] {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            const char byte = 1;
            (void)!::write(stop[1], &byte, 1);
        });
        host.run(stop[0]);
        timer.join();
    }
    ::close(stop[0]);
    ::close(stop[1]);
    const double rounds = watch->rounds().empty() ? 0 : static_cast<double>(watch->rounds().size() - 1);
    return Polled{rounds, watch->protocol_errors()};
}

double percent(double part, double whole) { return whole > 0 ? part / whole * 100 : 0; }

// Rounds in a fixed time with every Nth answer late, against a clean line's: rounds back to
// back, and polled every 5 s; with the reply timeout fixed (as before the host learned answer
// times) and learned.
void compare_late(std::ostream& out, const std::string& plugin, std::uint64_t every) {
    constexpr double kSeconds = 40;
    sim::SimConfig late = bench::paced_simulator(1);
    late.faults.lateEvery = every;
    late.faults.delay = std::chrono::milliseconds(static_cast<int>(kReplyTimeoutSeconds * 1000) + kLateBeyondTimeoutMs);
    out << "Late answers: every " << every << "th answer " << kLateBeyondTimeoutMs << " ms after a reply timeout of "
        << kReplyTimeoutSeconds << " s, 9600 baud, settle time 300 ms, " << kSeconds << " s each:\n";
    for (const double interval : {0.0, 5.0}) {
        const double clean = rounds_in(plugin, bench::paced_simulator(1), kSeconds, interval, true).rounds;
        const Polled fixed = rounds_in(plugin, late, kSeconds, interval, false);
        const Polled learned = rounds_in(plugin, late, kSeconds, interval, true);
        out << (interval > 0 ? "  polled every 5 s: " : "  rounds back to back: ") << "clean line " << clean
            << " rounds; late answers, reply timeout fixed " << fixed.rounds << " rounds (" << std::setprecision(1)
            << std::fixed << percent(fixed.rounds, clean) << " %), learned " << std::defaultfloat << learned.rounds
            << " rounds (" << std::fixed << percent(learned.rounds, clean) << " %, target: at least 80 %); "
            << std::defaultfloat << "protocol errors: fixed " << fixed.protocolErrors << ", learned "
            << learned.protocolErrors << "\n";
    }
}

// When each round ended, by the host's Round events (all from the one event loop).
class RoundClock : public site::Observer {
public:
    void on_event(const site::Event& e) override {
        if (e.kind == site::EventKind::Round) ends_.push_back(Clock::now());
    }
    const std::vector<Clock::time_point>& ends() const { return ends_; }

private:
    std::vector<Clock::time_point> ends_;
};

// The first rounds of a firmware that lacks a command pay for finding out: the step is polled
// three times in each before the round goes on without it. From then on it rests.
constexpr std::uint64_t kLearningRounds = 3;
constexpr std::uint64_t kMeasuredRounds = 30;

// Rounds a minute, back to back with the host's default reply timeout and settle time, from
// the end of the first kLearningRounds rounds to the end of kMeasuredRounds more.
double rounds_a_minute(const std::string& plugin, const sim::SimConfig& config) {
    bench::SimulatorFarm simulators(1, config);
    bench::ScratchFolder folder;
    auto clock = std::make_shared<RoundClock>();
    int never[2];
    if (::pipe(never) != 0) throw std::runtime_error("pipe failed");
    {
        site::SiteHost host(bench::site_on(simulators.ports(), 0, 0),
                            bench::host_options(plugin, folder, clock, kLearningRounds + kMeasuredRounds));
        host.run(never[0]);
    }
    ::close(never[0]);
    ::close(never[1]);
    const std::vector<Clock::time_point>& ends = clock->ends();
    if (ends.size() < kLearningRounds + kMeasuredRounds) throw std::runtime_error("the rounds did not complete");
    const double seconds =
        std::chrono::duration<double>(ends[kLearningRounds + kMeasuredRounds - 1] - ends[kLearningRounds - 1]).count();
    return static_cast<double>(kMeasuredRounds) / seconds * 60;
}

void compare_lacking(std::ostream& out, const std::string& plugin) {
    sim::SimConfig silent = bench::paced_simulator(1);
    silent.faults.neverAnswer = 0x4244;
    sim::SimConfig unsupported = bench::paced_simulator(1);
    unsupported.faults.rtnCommand = 0x4246;
    unsupported.faults.rtn = 0x04;
    const site::SystemConfig defaults;
    out << "Commands the firmware lacks: rounds back to back, reply timeout "
        << std::chrono::duration<double>(defaults.replyTimeout).count() << " s, settle time " << defaults.settle.count()
        << " ms, 9600 baud; rate over rounds " << kLearningRounds + 1 << " to " << kLearningRounds + kMeasuredRounds
        << ":\n";
    const double clean = rounds_a_minute(plugin, bench::paced_simulator(1));
    out << std::fixed << std::setprecision(1) << "  clean line:                   " << clean << " rounds/min\n";
    const struct {
        const char* name;
        const sim::SimConfig& config;
        int target;
    } cases[] = {{"42/44 never answered:         ", silent, 80}, {"42/46 answered with RTN 0x04: ", unsupported, 90}};
    for (const auto& c : cases) {
        const double rate = rounds_a_minute(plugin, c.config);
        const double share = rate / clean * 100;
        out << "  " << c.name << rate << " rounds/min: " << share << " % of the clean line's (target: at least "
            << c.target << " %)" << (share >= c.target ? "" : "  MISSED") << "\n";
    }
    out << std::defaultfloat;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const bench::HostBenchArgs args = bench::read_host_args(argc, argv);
        const LineOptions options = read_options(args.rest);
        const std::uint64_t rounds = options.rounds;
        if (options.lateEvery > 0) {
            bench::QuietStdout quiet;
            compare_late(quiet.results(), args.plugin, options.lateEvery);
            return 0;
        }
        if (options.lacking) {
            bench::QuietStdout quiet;
            compare_lacking(quiet.results(), args.plugin);
            return 0;
        }
        bench::SimulatorFarm simulators(
            1, bench::paced_simulator(1),
            options.tcp ? bench::SimulatorFarm::Lines::Tcp : bench::SimulatorFarm::Lines::Pty);
        bench::QuietStdout quiet;
        bench::ScratchFolder folder;
        auto watch = std::make_shared<LineWatch>();
        int never[2];
        if (::pipe(never) != 0) throw std::runtime_error("pipe failed");
        {
            // The first round also restores the units and warms the history database: not measured.
            site::SiteHost host(bench::site_on(simulators.ports(), 0, 0),
                                bench::host_options(args.plugin, folder, watch, rounds + 1));
            host.run(never[0]);
        }
        ::close(never[0]);
        ::close(never[1]);
        const std::vector<LineRound>& all = watch->rounds();
        if (all.size() < 2) throw std::runtime_error("no round was completed");
        print(quiet.results(), std::vector<LineRound>(all.begin() + 1, all.end()), options.tcp);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ktr40e-line-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
