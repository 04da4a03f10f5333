// sitehost: the stand-in site controller. Loads a driver plug-in, polls the power systems of
// a site file over their serial lines (or over built-in simulators), keeps the device history
// in SQLite and prints every round; `sitehost history` lists the saved images.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "site/app/app.h"
#include "site/history_store.h"
#include "site/runner.h"
#include "site/site_config.h"
#include "site/site_host.h"

namespace {

const char kUsage[] =
    "usage: sitehost --plugin PATH --site FILE [--port DEVICE] [--rounds N] [--events FILE]\n"
    "                [--db FILE] [--query NAME@DATAID ...] [--loops N] [--metrics-file FILE]\n"
    "       sitehost history [--db FILE] [--format json|csv] [--device DATAID]\n"
    "Power systems without a port are polled over a built-in simulator on a pseudo-terminal.\n";

struct RunOptions {
    std::string plugin;
    std::string site;
    std::string port;
    std::string db;
    std::string events;
    std::string metricsFile;
    std::uint64_t rounds = 0;
    std::size_t loops = 0;
    std::vector<site::QuerySpec> queries;
};

RunOptions parse_run(int argc, char** argv) {
    RunOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            std::exit(0);
        }
        const std::string value = app::option_value(argc, argv, i);
        if (arg == "--plugin") {
            options.plugin = value;
        } else if (arg == "--site") {
            options.site = value;
        } else if (arg == "--port") {
            options.port = value;
        } else if (arg == "--db") {
            options.db = value;
        } else if (arg == "--events") {
            options.events = value;
        } else if (arg == "--metrics-file") {
            options.metricsFile = value;
        } else if (arg == "--rounds") {
            options.rounds = app::parse_count(value, arg);
        } else if (arg == "--loops") {
            options.loops = app::parse_count(value, arg);
        } else if (arg == "--query") {
            options.queries.push_back(site::parse_query(value));
        } else {
            app::usage_error("unknown option " + arg, kUsage);
        }
    }
    if (options.plugin.empty() || options.site.empty()) app::usage_error("--plugin and --site are required", kUsage);
    return options;
}

// The self-pipe that SIGINT and SIGTERM make readable; the event loops poll it.
int g_stopWrite = -1;

extern "C" void on_stop_signal(int) {
    const char byte = 1;
    if (g_stopWrite >= 0) (void)!::write(g_stopWrite, &byte, 1);
}

int stop_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create the stop pipe");
    g_stopWrite = fds[1];
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return fds[0];
}

std::string summary_line(const site::SiteHost& host) {
    std::string line;
    for (const auto& runner : host.runners()) {
        line += "power system " + std::to_string(runner->data_id()) + ": " + std::to_string(runner->rounds()) +
                " rounds, " + std::to_string(runner->timeouts()) + " timeouts, " +
                std::to_string(runner->rejected()) + " answers refused\n";
    }
    return line + "history: " + std::to_string(host.history().saved()) + " images saved, " +
           std::to_string(host.history().failed()) + " failed\n";
}

int run_site(int argc, char** argv) {
    const RunOptions options = parse_run(argc, argv);
    site::SiteConfig config = site::load_site_file(options.site);
    if (!options.port.empty()) {
        if (config.systems.size() != 1) throw std::runtime_error("--port needs a site with one power system");
        config.systems.front().port = options.port;
    }
    if (!options.metricsFile.empty()) config.metricsFile = options.metricsFile;
    const int stopFd = stop_pipe();
    // The simulators outlive the host, so that the host never polls a vanished line.
    const auto simulators = app::start_simulators(config);

    site::SiteOptions siteOptions;
    siteOptions.pluginPath = options.plugin;
    siteOptions.dbPath = !options.db.empty() ? options.db : !config.db.empty() ? config.db : "sitehost.db";
    siteOptions.eventsPath = options.events;
    siteOptions.rounds = options.rounds;
    siteOptions.queries = options.queries;
    siteOptions.loops = options.loops;
    site::SiteHost host(std::move(config), std::move(siteOptions));
    const bool stopped = host.run(stopFd);
    host.drain();
    std::cout << (stopped ? "stopped\n" : "done\n") << summary_line(host) << std::flush;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc > 1 && std::string(argv[1]) == "history") return app::run_history(argc - 1, argv + 1);
        return run_site(argc, argv);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::cerr << "sitehost: " << e.what() << "\n";
        return 1;
    }
}
