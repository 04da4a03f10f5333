// sitehost: the stand-in site controller. Loads a driver plug-in, polls the power systems of
// a site file over their serial lines (or over built-in simulators), keeps the device history
// in SQLite and prints every round; `sitehost history` lists the saved images, `sitehost
// discover` finds the power systems on a line and writes their site file.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "cmdline/command_line.h"
#include "sim/simulator.h"
#include "site/app/app.h"
#include "site/app/discover_command.h"
#include "site/trace/console.h"
#include "site/run/runner.h"
#include "site/config/site_config.h"
#include "site/run/site_host.h"
#include "site/config/site_keys.h"
#include "site/trace/trace_file.h"
#include "site/config/usage_error.h"
#include "site/store/history_writer.h"
#include "site/store/storage_paths.h"

namespace {

// Exit statuses besides 0 (everything asked for was done) and 2 (usage errors).
constexpr int kExitError = 1;
constexpr int kExitLost = 3;
// Far beyond any real run: a larger count is a typo.
constexpr std::uint64_t kMaxRounds = 1000000000;

// The built-in simulators: the one place where the host program meets the simulator.
std::unique_ptr<line::LineServer> make_simulator(const Json::Value& config) {
    return std::make_unique<sim::Simulator>(sim::config_from_json(config));
}

// Every built-in simulator's configuration read before anything starts: a mistake in one is
// a mistake in the site file (or the simulator file it names).
void check_simulators(const site::SiteConfig& config, const std::string& site) {
    for (const site::SystemConfig& system : config.systems) {
        if (!system.port.empty()) continue;
        try {
            sim::config_from_json(app::simulator_json(system));
        } catch (const std::runtime_error& e) {
            const std::string& file = system.simulatorFile.empty() ? site : system.simulatorFile;
            throw site::UsageError(file + ": power system " + std::to_string(system.dataId) + ": " + e.what());
        }
    }
}

struct RunOptions {
    std::string plugin;
    std::string site;
    std::string port;
    std::string db;
    std::string events;
    std::string metricsFile;
    std::uint64_t rounds = 0;
    std::size_t loops = 0;
    std::vector<std::string> queries;
    bool verbose = false;
    bool quiet = false;
};

void add_run_options(CLI::App& cli, RunOptions& options) {
    cli.add_option("--plugin", options.plugin, "The driver plug-in (a bare name is taken from the working folder)")
        ->type_name("PATH")
        ->check(cmdline::kNotEmpty);
    cli.add_option("--site", options.site, "The site file")->type_name("FILE")->check(cmdline::kNotEmpty);
    cli.add_option("--port", options.port, "Serial device replacing the site file's port (one power system)")
        ->type_name("DEVICE")
        ->check(cmdline::kNotEmpty);
    cli.add_option("--rounds", options.rounds, "Stop after N rounds of every power system (default: run until stopped)")
        ->type_name("N")
        ->check(cmdline::whole_number_in(1, kMaxRounds));
    cli.add_option("--events", options.events, "Append one JSON line per host service call to FILE (file or FIFO)")
        ->type_name("FILE")
        ->check(cmdline::kNotEmpty);
    cli.add_option("--db", options.db, "History database (default: the site file's db key, else sitehost.db)")
        ->type_name("FILE")
        ->check(cmdline::kNotEmpty);
    cli.add_option("--query", options.queries, "Ask Get_Value(NAME) of unit DATAID after the restore and every round")
        ->type_name("NAME@DATAID")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                try {
                    site::parse_query(text);
                    return {};
                } catch (const std::exception& e) {
                    return e.what();
                }
            },
            ""));
    cli.add_option("--metrics-file", options.metricsFile, "Prometheus text file rewritten after every round")
        ->type_name("FILE")
        ->check(cmdline::kNotEmpty);
    cli.add_option("--loops", options.loops, "Polling threads (default: one per 8 power systems)")
        ->type_name("N")
        ->check(cmdline::kWholeNumber);
    auto* verbose =
        cli.add_flag("-v,--verbose", options.verbose, "Also show debug lines: the plug-in's trace, refused answers");
    cli.add_flag("-q,--quiet", options.quiet, "Show only warnings and errors")->excludes(verbose);
}

// The self-pipe that SIGINT, SIGTERM and a closed standard output make readable; the event
// loops poll it.
int g_stopWrite = -1;

void request_stop() {
    const char byte = 1;
    if (g_stopWrite >= 0) (void)!::write(g_stopWrite, &byte, 1);
}

extern "C" void on_stop_signal(int) { request_stop(); }

extern "C" void on_hangup_signal(int) { site::reopen_trace_files(); }

int stop_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create the stop pipe");
    g_stopWrite = fds[1];
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = on_hangup_signal;
    ::sigaction(SIGHUP, &action, nullptr);
    site::on_console_closed(request_stop);
    return fds[0];
}

// The end of the run on the console; kExitLost when a requested round or an image was lost.
int summarize(const site::SiteHost& host, bool stopped, std::uint64_t roundsWanted) {
    site::console(site::Level::Info, stopped ? "stopped" : "done");
    std::string lost;
    for (const auto& runner : host.runners()) {
        const std::string times = runner->answer_times_text();
        site::console(site::Level::Info, "power system " + std::to_string(runner->data_id()) + ": " +
                                             std::to_string(runner->rounds()) + " rounds, " +
                                             runner->line_counts().text(true) + (times.empty() ? "" : "; " + times));
        if (roundsWanted != 0 && runner->rounds() < roundsWanted)
            lost += "; power system " + std::to_string(runner->data_id()) + " completed " +
                    std::to_string(runner->rounds()) + " of " + std::to_string(roundsWanted) + " rounds";
    }
    const std::uint64_t failed = host.history().failed();
    site::console(site::Level::Info, "history: " + std::to_string(host.history().saved()) + " images saved, " +
                                         std::to_string(failed) + " failed");
    if (failed != 0) lost += "; " + std::to_string(failed) + " images not saved";
    if (lost.empty()) return 0;
    site::console(site::Level::Error, "lost:" + lost.substr(1));
    return kExitLost;
}

// The files besides the site file and the plug-in that a run reads.
std::vector<site::ReadPath> files_read(const site::SiteConfig& config) {
    std::vector<site::ReadPath> files;
    for (const site::SystemConfig& system : config.systems)
        if (!system.simulatorFile.empty())
            files.push_back(
                {"the simulator file of power system " + std::to_string(system.dataId), system.simulatorFile});
    const site::MqttConfig& mqtt = config.mqtt;
    for (const std::string* tls : {&mqtt.caFile, &mqtt.certFile, &mqtt.keyFile})
        if (!tls->empty()) files.push_back({"a TLS file", *tls});
    if (!mqtt.passwordFile.empty()) files.push_back({"the MQTT password file", mqtt.passwordFile});
    return files;
}

// Refuses a query of a data id no unit of the site has, before anything is started.
void check_query(const site::SiteConfig& config, const site::QuerySpec& query) {
    for (const site::SystemConfig& system : config.systems) {
        if (system.dataId == query.dataId) return;
        for (const char* units : {"acSetting", "dcSetting"})
            for (const Json::Value& unit : system.settings[units])
                if (unit["data_id"].asUInt() == query.dataId) return;
    }
    throw site::UsageError("--query " + query.name + "@" + std::to_string(query.dataId) +
                           ": no unit of the site has that data id");
}

int run_site(const RunOptions& options) {
    site::set_console_level(options.verbose ? site::Level::Debug
                            : options.quiet ? site::Level::Warn
                                            : site::Level::Info);
    site::SiteConfig config = site::load_site_file(options.site);
    if (!options.port.empty()) {
        if (config.systems.size() != 1) throw site::UsageError("--port needs a site with one power system");
        site::check_port(options.port);
        config.systems.front().port = options.port;
    }
    const std::string db = !options.db.empty() ? options.db : !config.db.empty() ? config.db : "sitehost.db";
    if (!options.metricsFile.empty()) config.metricsFile = options.metricsFile;
    for (const std::string& query : options.queries) check_query(config, site::parse_query(query));
    const std::string refusal = site::storage_refusal(
        {db, options.events, options.site, options.plugin, config.metricsFile, files_read(config)});
    if (!refusal.empty()) throw site::UsageError(refusal);
    check_simulators(config, options.site);
    const int stopFd = stop_pipe();
    // The simulators outlive the host, so that the host never polls a vanished line.
    const auto simulators = app::start_simulators(config, make_simulator);

    site::SiteOptions siteOptions;
    siteOptions.pluginPath = options.plugin;
    siteOptions.dbPath = db;
    siteOptions.eventsPath = options.events;
    siteOptions.rounds = options.rounds;
    for (const std::string& query : options.queries) siteOptions.queries.push_back(site::parse_query(query));
    siteOptions.loops = options.loops;
    siteOptions.captureTrace = true;
    site::SiteHost host(std::move(config), std::move(siteOptions));
    const bool stopped = host.run(stopFd);
    host.drain();
    return summarize(host, stopped, options.rounds);
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that leaves (`sitehost ... | head -1`, an events FIFO) is a failed write, not a kill.
    ::signal(SIGPIPE, SIG_IGN);
    CLI::App cli(
        "The stand-in site controller: polls the power systems of a site file through a driver "
        "plug-in. Power systems without a port are polled over a built-in simulator.",
        "sitehost");
    cmdline::add_version_flag(cli);
    RunOptions run;
    add_run_options(cli, run);
    app::HistoryOptions history;
    const CLI::App* historyCommand = app::add_history_command(cli, history);
    app::DiscoverOptions discover;
    const CLI::App* discoverCommand = app::add_discover_command(cli, discover);
    cmdline::parse_command_line(cli, argc, argv);
    try {
        if (historyCommand->parsed()) return app::run_history(history);
        if (discoverCommand->parsed()) {
            if (!discover.check && discover.port.empty())
                cmdline::usage_error(cli, "discover needs --port, or --check --site FILE");
            return app::run_discover(discover, stop_pipe());
        }
        if (run.plugin.empty() || run.site.empty()) cmdline::usage_error(cli, "--plugin and --site are required");
        return run_site(run);
    } catch (const site::UsageError& e) {
        site::console(site::Level::Error, e.what());
        return 2;
    } catch (const std::exception& e) {
        site::console(site::Level::Error, e.what());
        return kExitError;
    }
}
