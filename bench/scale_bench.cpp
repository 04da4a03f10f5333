// ktr40e-scale-bench: one host process supervising N power systems with the real plug-in,
// each on a pseudo-terminal of its own with its own simulator (in a child process, paced at
// 9600 baud), every system polled every 5 s. After every system's first round it measures,
// over a window, the host process's CPU time (user and system, all threads) per round per
// system, its share of one core, and the rounds completed per minute. With --lines tcp every
// simulator serves over TCP on 127.0.0.1 (serial device servers) instead of a pseudo-terminal,
// and the worst round time is also given against a single system's (measured first). With
// --outputs on the host also publishes over MQTT (discovery on) to a local mosquitto broker and
// writes the metrics file, as a site with both configured does.
// usage: ktr40e-scale-bench [--plugin PATH] [--systems N[,N...]] [--seconds S] [--interval S] [--loops N]
//                           [--lines pty|tcp] [--outputs on|off]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iomanip>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_output.h"
#include "host_run.h"
#include "tests/shared/local_broker.h"
#include "sim_farm.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::vector<std::size_t> systems{1, 10, 50, 100};
    double seconds = 60;
    double interval = 5;
    std::size_t loops = 0;  // event loops of the host; 0: its default (one per 8 systems)
    bench::SimulatorFarm::Lines lines = bench::SimulatorFarm::Lines::Pty;
    bool outputs = false;  // MQTT and the metrics file
};

std::vector<std::size_t> read_counts(const std::string& text) {
    std::vector<std::size_t> counts;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        const unsigned long n = std::stoul(item);
        if (n == 0 || n > 1000) throw std::invalid_argument("--systems takes counts from 1 to 1000");
        counts.push_back(n);
    }
    return counts;
}

Options read_options(const std::vector<std::string>& args) {
    Options options;
    for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == "--systems") {
            options.systems = read_counts(args[i + 1]);
        } else if (args[i] == "--seconds") {
            options.seconds = std::stod(args[i + 1]);
        } else if (args[i] == "--interval") {
            options.interval = std::stod(args[i + 1]);
        } else if (args[i] == "--loops") {
            options.loops = std::stoul(args[i + 1]);
        } else if (args[i] == "--lines" && (args[i + 1] == "pty" || args[i + 1] == "tcp")) {
            options.lines = args[i + 1] == "tcp" ? bench::SimulatorFarm::Lines::Tcp : bench::SimulatorFarm::Lines::Pty;
        } else if (args[i] == "--outputs" && (args[i + 1] == "on" || args[i + 1] == "off")) {
            options.outputs = args[i + 1] == "on";
        } else {
            break;
        }
    }
    if (args.size() % 2 != 0 || options.systems.empty() || options.seconds < 1 || options.interval < 2)
        throw std::invalid_argument(
            "usage: ktr40e-scale-bench [--plugin PATH] [--systems N[,N...]] [--seconds S>=1] [--interval S>=2] "
            "[--loops N] [--lines pty|tcp] [--outputs on|off]");
    return options;
}

// A thousand lines need more descriptors than the usual soft limit of 1,024 (the simulators'
// child inherits the raised limit).
void raise_descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

double cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Counts rounds per system and times the rounds that end while measuring. A system's events
// come from the one event loop that polls it, so its slot needs no lock; the round count is
// read by the measuring thread.
class ScaleWatch : public site::Observer {
public:
    explicit ScaleWatch(std::size_t systems) : slots_(systems) {}

    bool wants(site::EventKind kind) const override {
        return kind == site::EventKind::Request || kind == site::EventKind::Round || kind == site::EventKind::Timeout ||
               kind == site::EventKind::Rejected;
    }

    void on_event(const site::Event& e) override {
        switch (e.kind) {
            case site::EventKind::Request:
                if (Slot* s = slot(e.device); s != nullptr && !s->inRound && e.cid2 != 0x51) {
                    s->inRound = true;
                    s->started = Clock::now();
                }
                break;
            case site::EventKind::Round:
                if (Slot* s = slot(e.device); s != nullptr) finish_round(*s);
                break;
            case site::EventKind::Timeout: ++timeouts_; break;
            case site::EventKind::Rejected: ++refused_; break;
            default: break;
        }
    }

    void measure(bool on) { measuring_ = on; }
    std::uint64_t rounds() const {
        std::uint64_t total = 0;
        for (const Slot& s : slots_) total += s.rounds;
        return total;
    }
    bool every_system_polled() const {
        return std::all_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.rounds > 0; });
    }
    // Over the rounds that ended while measuring; call once the host has stopped.
    double mean_round_wall() const {
        double sum = 0;
        std::uint64_t count = 0;
        for (const Slot& s : slots_) {
            sum += s.wallSum;
            count += s.measured;
        }
        return count == 0 ? 0 : sum / static_cast<double>(count);
    }
    double max_round_wall() const {
        double worst = 0;
        for (const Slot& s : slots_) worst = std::max(worst, s.wallMax);
        return worst;
    }
    std::uint64_t timeouts() const { return timeouts_; }
    std::uint64_t refused() const { return refused_; }

private:
    struct Slot {
        std::atomic<std::uint64_t> rounds{0};
        bool inRound = false;
        Clock::time_point started;
        double wallSum = 0;
        double wallMax = 0;
        std::uint64_t measured = 0;
    };

    // Systems have the data ids 100, 200, ...; their units' events are not looked at.
    Slot* slot(unsigned dataId) {
        if (dataId % 100 != 0 || dataId == 0 || dataId / 100 > slots_.size()) return nullptr;
        return &slots_[dataId / 100 - 1];
    }

    void finish_round(Slot& s) {
        ++s.rounds;
        if (!s.inRound) return;
        s.inRound = false;
        if (!measuring_) return;
        const double wall = std::chrono::duration<double>(Clock::now() - s.started).count();
        s.wallSum += wall;
        s.wallMax = std::max(s.wallMax, wall);
        ++s.measured;
    }

    std::vector<Slot> slots_;
    std::atomic<bool> measuring_{false};
    std::atomic<std::uint64_t> timeouts_{0};
    std::atomic<std::uint64_t> refused_{0};
};

struct Window {
    double cpu = 0;
    double wall = 0;
    std::uint64_t rounds = 0;
};

// Waits for every system's first round and then `settle` seconds more, measures for
// `seconds`, then stops the host. Gives up early when `abandoned` is set (the host failed).
Window measure(ScaleWatch& watch, double seconds, double settle, int stopFd, const std::atomic<bool>& abandoned) {
    const auto sleep = [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };
    const auto giveUp = Clock::now() + std::chrono::minutes(2);
    while (!watch.every_system_polled() && !abandoned && Clock::now() < giveUp) sleep();
    const auto settled =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settle));
    while (!abandoned && Clock::now() < settled) sleep();
    Window window;
    if (watch.every_system_polled() && !abandoned) {
        const double cpuBefore = cpu_seconds();
        const std::uint64_t roundsBefore = watch.rounds();
        const auto start = Clock::now();
        watch.measure(true);
        const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (Clock::now() < end && !abandoned) sleep();
        watch.measure(false);
        window.cpu = cpu_seconds() - cpuBefore;
        window.rounds = watch.rounds() - roundsBefore;
        window.wall = std::chrono::duration<double>(Clock::now() - start).count();
    }
    const char byte = 1;
    (void)!::write(stopFd, &byte, 1);
    return window;
}

void print_row(std::ostream& out, std::size_t systems, const Window& w, const ScaleWatch& watch, double single) {
    const double perMinute = static_cast<double>(w.rounds) / w.wall * 60;
    const double cpuPerRound = w.rounds == 0 ? 0 : w.cpu / static_cast<double>(w.rounds);
    out << std::right << std::setw(8) << systems << std::setw(8) << w.rounds << std::fixed << std::setprecision(1)
        << std::setw(12) << perMinute << std::setw(12) << perMinute / static_cast<double>(systems)
        << std::setprecision(3) << std::setw(16) << cpuPerRound * 1e3 << std::setprecision(2) << std::setw(13)
        << w.cpu / w.wall * 100 << std::setw(12) << watch.mean_round_wall() << std::setw(10) << watch.max_round_wall()
        << std::setw(10) << watch.timeouts() << std::setw(9) << watch.refused();
    if (single > 0) out << std::setw(12) << watch.max_round_wall() / single;
    out << std::endl;
}

// The mean round time of one system alone, for the worst round time of many to be set against.
double single_round(const std::string& plugin, const Options& options);

// Measures `systems` systems; returns their mean round time.
double run(std::ostream* out, const std::string& plugin, std::size_t systems, const Options& options, double single) {
    bench::SimulatorFarm simulators(systems, bench::paced_simulator(1), options.lines);
    bench::ScratchFolder folder;
    auto watch = std::make_shared<ScaleWatch>(systems);
    int stop[2];
    if (::pipe(stop) != 0) throw std::runtime_error("pipe failed");
    Window window;
    std::exception_ptr failure;
    {
        site::SiteOptions hostOptions = bench::host_options(plugin, folder, watch, 0);
        hostOptions.loops = options.loops;
        site::SiteConfig site = bench::site_on(simulators.ports(), options.interval, 2);
        std::unique_ptr<LocalBroker> broker;
        if (options.outputs) {
            broker = std::make_unique<LocalBroker>(folder.path());
            site.mqtt.host = "127.0.0.1";
            site.mqtt.port = broker->port();
            site.mqtt.clientId = "ktr40e-scale-bench";
            site.metricsFile = folder.path() + "/ktr40e.prom";
        }
        site::SiteHost host(std::move(site), std::move(hostOptions));
        std::atomic<bool> abandoned{false};
        // The first rounds announce every unit's discovery configs, a hundred and more per unit,
        // and the broker sends each back to the host (it watches them for stale ones): that
        // passes before the steady state is measured.
        const double settle = options.outputs ? 15 : 0;
        std::thread measurer([&] { window = measure(*watch, options.seconds, settle, stop[1], abandoned); });
        try {
            host.run(stop[0]);
        } catch (...) {
            failure = std::current_exception();
            abandoned = true;
        }
        measurer.join();
    }
    ::close(stop[0]);
    ::close(stop[1]);
    if (failure) std::rethrow_exception(failure);
    if (window.rounds == 0) throw std::runtime_error(std::to_string(systems) + " systems: no round measured");
    if (out != nullptr) print_row(*out, systems, window, *watch, single);
    return watch->mean_round_wall();
}

double single_round(const std::string& plugin, const Options& options) {
    Options one = options;
    one.seconds = std::min(options.seconds, 30.0);
    return run(nullptr, plugin, 1, one, 0);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const bench::HostBenchArgs args = bench::read_host_args(argc, argv);
        const Options options = read_options(args.rest);
        bench::QuietStdout quiet;
        std::ostream& out = quiet.results();
        const bool tcp = options.lines == bench::SimulatorFarm::Lines::Tcp;
        raise_descriptor_limit();
        const double single = tcp ? single_round(args.plugin, options) : 0;
        out << "Scale: one host process, N power systems (2 AC, 2 DC, 12 modules each), each on its own\n"
            << (tcp ? "TCP connection to a serial server" : "pseudo-terminal")
            << " at 9600 baud with its own simulator (child process), polled every " << options.interval << " s, "
            << (options.loops == 0 ? std::string("one event loop per 8 systems")
                                   : std::to_string(options.loops) + " event loops")
            << (options.outputs ? ", MQTT (QoS 1, discovery on) and the metrics file on" : ", no MQTT, no metrics file")
            << ";\nmeasured over " << options.seconds
            << " s after every system's first round. CPU = the host process's user + system time.\n";
        out << std::right << std::setw(8) << "systems" << std::setw(8) << "rounds" << std::setw(12) << "rounds/min"
            << std::setw(12) << "per system" << std::setw(16) << "CPU ms/round" << std::setw(13) << "% of a core"
            << std::setw(12) << "round s" << std::setw(10) << "max s" << std::setw(10) << "timeouts" << std::setw(9)
            << "refused" << (tcp ? "  max/single" : "") << std::endl;
        for (const std::size_t systems : options.systems) run(&out, args.plugin, systems, options, single);
        if (tcp) out << "max/single: the worst round against one system's mean round (" << single << " s).\n";
        out << "Target: under 5 % of one core with 100 systems polled every 5 s"
            << (tcp ? "; under 50 % with 1,000 over TCP.\n" : ".\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ktr40e-scale-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
