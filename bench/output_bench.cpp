// ktr40e-output-bench: the CPU that MQTT and the metrics file add to the host per round.
// It records one round of the benchmark power system through the host and the real plug-in,
// then hands that round, renumbered for 100 power systems, to the host's outputs at the pace
// of 100 systems polled every 5 s: MQTT to a local mosquitto broker (Home Assistant discovery
// on) and the metrics file in a scratch folder. CPU = this process's user + system time over
// the window (every thread: the outputs' own, libmosquitto's), divided by the rounds handed over.
// usage: ktr40e-output-bench [--plugin PATH] [--systems N] [--seconds S] [--interval S] [--host-ms MS]
//                           [--only mqtt|metrics]
#include <sys/resource.h>
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
#include "tests/shared/local_broker.h"
#include "sim/simulator.h"
#include "site/run/runner.h"
#include "site/outputs/site_outputs.h"

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
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The second round of one power system (data id 100) polled by the host, as its runner closes it.
site::CompletedRound record_round(const std::string& plugin) {
    sim::SimConfig config;
    config.state = bench::site_state();
    config.baud = 0;
    config.seed = 1;
    sim::Simulator simulator(config);
    const std::string port = simulator.start_pty();
    bench::ScratchFolder folder;
    site::SiteOptions options = bench::host_options(plugin, folder, nullptr, 2);
    std::shared_ptr<const site::CompletedRound> second;
    options.onRound = [&second](const std::shared_ptr<const site::CompletedRound>& round) {
        if (round->number == 2) second = round;
    };
    site::SiteHost host(bench::site_on({port}, 0, 0), std::move(options));
    int stop[2];
    if (::pipe(stop) != 0) throw std::runtime_error("pipe failed");
    host.run(stop[0]);
    ::close(stop[0]);
    ::close(stop[1]);
    if (!second || second->units.size() != bench::kUnits) throw std::runtime_error("the recorded round is not whole");
    site::CompletedRound round = *second;
    round.staleAfter = std::chrono::seconds(60);
    return round;
}

// The recorded round as system `k` (data id 100 k) closes it.
site::CompletedRound renumbered(const site::CompletedRound& round, unsigned k) {
    site::CompletedRound copy = round;
    copy.system = 100 * k;
    for (site::RoundUnit& unit : copy.units) unit.unit = unit.unit - 100 + 100 * k;
    for (site::RoundAlarm& check : copy.checks) check.unit = check.unit - 100 + 100 * k;
    copy.counts.refusedByReason["any"] = 0;
    return copy;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const bench::HostBenchArgs args = bench::read_host_args(argc, argv);
        const Options options = read_options(args.rest);
        bench::QuietStdout quiet;
        std::ostream& out = quiet.results();
        const site::CompletedRound recorded = record_round(args.plugin);

        bench::ScratchFolder folder;
        LocalBroker broker(folder.path());
        site::SiteOutputs::Setup setup;
        if (options.mqtt) setup.mqtt.host = "127.0.0.1";
        setup.mqtt.port = broker.port();
        setup.mqtt.clientId = "ktr40e-output-bench";
        if (options.metrics) setup.metricsFile = folder.path() + "/ktr40e.prom";
        setup.history = [] { return site::HistoryCounts{}; };
        setup.report = [](site::Level, const std::string& text) {
            std::fprintf(stderr, "outputs: %s\n", text.c_str());
        };
        // Two of every system, handed over in turn: the outputs are long done with the one
        // handed over before, so it can be numbered for the next round.
        std::vector<std::shared_ptr<site::CompletedRound>> rounds;
        for (unsigned k = 1; k <= options.systems; ++k) {
            rounds.push_back(std::make_shared<site::CompletedRound>(renumbered(recorded, k)));
            std::vector<unsigned> units{100 * k};
            for (const site::RoundUnit& unit : rounds.back()->units)
                if (unit.unit != 100 * k) units.push_back(unit.unit);
            setup.systems.push_back(site::SystemUnits{100 * k, units});
        }
        for (unsigned k = 0; k < options.systems; ++k)
            rounds.push_back(std::make_shared<site::CompletedRound>(*rounds[k]));

        double cpu = 0;
        std::uint64_t handed = 0;
        {
            site::SiteOutputs outputs(std::move(setup));
            // The first round of every system announces its discovery configs; measured apart.
            const double announceCpu = cpu_seconds();
            for (std::size_t k = 0; k < options.systems; ++k) outputs.on_round(rounds[k]);
            std::this_thread::sleep_for(std::chrono::seconds(6));
            const double announce = cpu_seconds() - announceCpu;

            const auto gap = std::chrono::duration<double>(options.interval / static_cast<double>(options.systems));
            const auto start = Clock::now();
            const double before = cpu_seconds();
            auto next = start;
            for (std::uint64_t n = 0; Clock::now() - start < std::chrono::duration<double>(options.seconds); ++n) {
                site::CompletedRound& round = *rounds[n % rounds.size()];
                round.number = 2 + n / options.systems;
                round.counts.rounds = round.number;
                round.done = Clock::now();
                round.endedAt = std::chrono::system_clock::now();
                outputs.on_round(rounds[n % rounds.size()]);
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
