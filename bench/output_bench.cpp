// ktr40e-output-bench: the CPU that MQTT and the metrics file add to the host per round.
// It records one round of the benchmark power system through the host and the real plug-in,
// then hands that round, renumbered for 100 power systems, to the host's outputs at the pace
// of 100 systems polled every 5 s: MQTT to a local mosquitto broker (Home Assistant discovery
// on) and the metrics file in a scratch folder. CPU = this process's user + system time over
// the window (every thread: the outputs' own, libmosquitto's), divided by the rounds handed over.
// usage: ktr40e-output-bench [--plugin PATH] [--systems N] [--seconds S] [--interval S] [--host-ms MS]
//                           [--only mqtt|metrics]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_output.h"
#include "bench_site.h"
#include "host_run.h"
#include "sim/simulator.h"
#include "site/run/runner.h"
#include "site/run/site_outputs.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::size_t systems = 100;
    double seconds = 20;
    double interval = 5;
    // The host's CPU per round and system without outputs (ktr40e-scale-bench at 100 systems).
    double hostMs = 2.2;
    bool mqtt = true;
    bool metrics = true;
};

Options read_options(const std::vector<std::string>& args) {
    Options options;
    for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == "--systems") {
            options.systems = std::stoul(args[i + 1]);
        } else if (args[i] == "--seconds") {
            options.seconds = std::stod(args[i + 1]);
        } else if (args[i] == "--interval") {
            options.interval = std::stod(args[i + 1]);
        } else if (args[i] == "--host-ms") {
            options.hostMs = std::stod(args[i + 1]);
        } else if (args[i] == "--only") {
            options.mqtt = args[i + 1] == "mqtt";
            options.metrics = args[i + 1] == "metrics";
        } else {
            break;
        }
    }
    if (args.size() % 2 != 0 || options.systems == 0 || options.systems > 1000 || options.seconds < 2 ||
        options.interval <= 0 || options.hostMs <= 0)
        throw std::invalid_argument(
            "usage: ktr40e-output-bench [--plugin PATH] [--systems N] [--seconds S>=2] [--interval S] [--host-ms MS] "
            "[--only mqtt|metrics]");
    return options;
}

double cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int free_loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("no free loopback port");
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts_connections(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// mosquitto on 127.0.0.1 and a free port, stopped with the object.
class Broker {
public:
    explicit Broker(const bench::ScratchFolder& folder) : port_(free_loopback_port()) {
        const std::string config = folder.path() + "/mosquitto.conf";
        std::ofstream(config) << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
        const std::string binary = ::access("/usr/sbin/mosquitto", X_OK) == 0 ? "/usr/sbin/mosquitto" : "mosquitto";
        std::vector<std::string> args = {binary, "-c", config};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        // Its log goes to a file: standard error is for the figures' warnings.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, (folder.path() + "/mosquitto.log").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int spawned = posix_spawnp(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0)
            throw std::runtime_error("cannot start mosquitto (bash scripts/install-deps.sh --test installs it)");
        const auto giveUp = Clock::now() + std::chrono::seconds(10);
        while (!accepts_connections(port_)) {
            if (Clock::now() > giveUp) throw std::runtime_error("mosquitto did not start");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Broker() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }

private:
    int port_;
    pid_t pid_ = -1;
};

// The events of the second round of one power system (data id 100) polled by the host.
site::RoundReport record_round(const std::string& plugin) {
    sim::SimConfig config;
    config.state = bench::site_state();
    config.baud = 0;
    config.seed = 1;
    sim::Simulator simulator(config);
    const std::string port = simulator.start_pty();
    bench::ScratchFolder folder;
    auto recorder = std::make_shared<site::Recorder>();
    site::SiteHost host(bench::site_on({port}, 0, 0), bench::host_options(plugin, folder, recorder, 2));
    int stop[2];
    if (::pipe(stop) != 0) throw std::runtime_error("pipe failed");
    host.run(stop[0]);
    ::close(stop[0]);
    ::close(stop[1]);
    site::RoundReport report;
    report.system = 100;
    report.round = 2;
    int rounds = 0;
    for (const site::Event& e : recorder->events()) {
        if (e.kind == site::EventKind::Round) ++rounds;
        if (rounds != 1) continue;
        if (e.kind == site::EventKind::Publish) report.published.push_back(e);
        if (e.kind == site::EventKind::Alarm || e.kind == site::EventKind::AlertMap) report.checks.push_back(e);
    }
    if (report.published.size() != bench::kUnits) throw std::runtime_error("the recorded round is not whole");
    return report;
}

// The recorded round as system `k` (data id 100 k) reports it.
site::RoundReport renumbered(const site::RoundReport& round, unsigned k) {
    site::RoundReport copy = round;
    copy.system = 100 * k;
    for (site::Event& e : copy.published) e.device = e.device - 100 + 100 * k;
    for (site::Event& e : copy.checks) e.device = e.device - 100 + 100 * k;
    return copy;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const bench::HostBenchArgs args = bench::read_host_args(argc, argv);
        const Options options = read_options(args.rest);
        bench::QuietStdout quiet;
        std::ostream& out = quiet.results();
        const site::RoundReport recorded = record_round(args.plugin);

        bench::ScratchFolder folder;
        Broker broker(folder);
        site::SiteOutputs::Setup setup;
        if (options.mqtt) setup.mqtt.host = "127.0.0.1";
        setup.mqtt.port = broker.port();
        setup.mqtt.clientId = "ktr40e-output-bench";
        if (options.metrics) setup.metricsFile = folder.path() + "/ktr40e.prom";
        setup.history = [] { return site::HistoryCounts{}; };
        setup.report = [](site::Level, const std::string& text) { std::fprintf(stderr, "outputs: %s\n", text.c_str()); };
        std::vector<site::RoundReport> rounds;
        for (unsigned k = 1; k <= options.systems; ++k) {
            rounds.push_back(renumbered(recorded, k));
            std::vector<unsigned> units{100 * k};
            for (const site::Event& e : rounds.back().published)
                if (e.device != 100 * k) units.push_back(e.device);
            setup.systems.push_back({site::SystemUnits{100 * k, units}, options.interval, 2});
        }
        site::SystemCounts counts;
        counts.refusedByReason["any"] = 0;

        double cpu = 0;
        std::uint64_t handed = 0;
        {
            site::SiteOutputs outputs(std::move(setup));
            // The first round of every system announces its discovery configs; measured apart.
            const double announceCpu = cpu_seconds();
            for (const site::RoundReport& round : rounds) outputs.on_round(round, counts);
            std::this_thread::sleep_for(std::chrono::seconds(6));
            const double announce = cpu_seconds() - announceCpu;

            const auto gap = std::chrono::duration<double>(options.interval / static_cast<double>(options.systems));
            const auto start = Clock::now();
            const double before = cpu_seconds();
            auto next = start;
            for (std::uint64_t n = 0; Clock::now() - start < std::chrono::duration<double>(options.seconds); ++n) {
                site::RoundReport& round = rounds[n % rounds.size()];
                round.round = 2 + n / rounds.size();
                counts.rounds = round.round;
                outputs.on_round(round, counts);
                ++handed;
                next += std::chrono::duration_cast<Clock::duration>(gap);
                std::this_thread::sleep_until(next);
            }
            cpu = cpu_seconds() - before;
            out << "Outputs: MQTT (QoS 1, discovery on) to a local mosquitto and the metrics file, " << options.systems
                << " power systems (2 AC, 2 DC, 12 modules each) polled every " << options.interval << " s.\n"
                << "First round of every system (discovery configs included): " << std::fixed << std::setprecision(1)
                << announce * 1e3 / static_cast<double>(options.systems) << " ms CPU per system.\n";
        }
        const double perRoundMs = cpu * 1e3 / static_cast<double>(handed);
        out << std::fixed << std::setprecision(3) << "Steady state over " << options.seconds << " s: " << handed
            << " rounds, " << perRoundMs << " ms CPU per round (all threads of the host process), "
            << std::setprecision(2) << cpu / options.seconds * 100 << " % of one core.\n"
            << "Added to the host's " << options.hostMs << " ms per round: " << std::setprecision(1)
            << perRoundMs / options.hostMs * 100 << " % (target: under 5 %).\n";
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ktr40e-output-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
