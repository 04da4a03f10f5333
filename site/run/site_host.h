#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "site/host/controller.h"
#include "site/host/events.h"
#include "site/outputs/output_model.h"
#include "site/run/runner.h"
#include "site/config/site_config.h"

namespace site {

class EventLog;
class HistoryStore;
class HistoryWriter;
class PluginLibrary;
class RepeatSummary;
class TraceCapture;
class SiteOutputs;
class RoundRouter;

struct SiteOptions {
    std::string pluginPath;
    std::string dbPath;        // required
    std::string eventsPath;    // empty: no event file
    std::uint64_t rounds = 0;  // per power system; 0: until stopped
    std::vector<QuerySpec> queries;
    // Event loops, each on its own thread, sharing the power systems out; 0: one per 8
    // systems. The plug-in pauses 20 ms before it handles each answer, and a loop waits
    // through that pause, so many systems need more than one loop.
    std::size_t loops = 0;
    // Takes over standard output while the host lives, so that the plug-in's own lines go to
    // the event file as "trace" events and to the console at debug level only (the program).
    bool captureTrace = false;
    // Sees every event besides the host's own observers (tests).
    std::shared_ptr<Observer> observer;
    // Sees every completed round besides the console and the outputs, on its polling thread
    // (tests, benchmarks).
    std::function<void(const std::shared_ptr<const CompletedRound>&)> onRound;
    // Where the terminal lines go (default: the console at info level).
    std::function<void(const std::string&)> print;
    // Where warnings go (default: the console at warn level).
    std::function<void(const std::string&)> warn;
    // Console lines about the lines: settings at start, failures, missing rounds (default:
    // site::console); the same line again within 10 minutes is counted rather than repeated.
    std::function<void(Level, const std::string&)> console;
};

// The stand-in site controller: loads the plug-in, creates and sets up every power system of
// the site on its line (every system needs a port by now), keeps the device history in
// SQLite, restores the units from it and polls until told to stop.
class SiteHost {
public:
    // Everything up to the first request: load, create, restore, first queries.
    // Throws UsageError for a query naming no unit, std::runtime_error with a message for the user.
    SiteHost(SiteConfig site, SiteOptions options);
    ~SiteHost();
    SiteHost(const SiteHost&) = delete;
    SiteHost& operator=(const SiteHost&) = delete;

    // Polls until every system has completed its rounds (false) or `stopFd` becomes
    // readable (true).
    bool run(int stopFd);
    // Waits for the queued round work to finish and for the history to take every round; a
    // database held by another process is waited for up to a few seconds, then the rounds
    // still waiting are given up (counted in history().failed()).
    void drain();

    const std::vector<std::unique_ptr<SystemRunner>>& runners() const { return runners_; }
    HistoryStore& store() { return *store_; }
    const HistoryWriter& history() const { return *history_; }
    // The query answers given before the first request.
    const std::vector<Event>& first_answers() const { return firstAnswers_; }

private:
    // One line of the plug-in's standard output.
    void trace(const std::string& line) const;
    void create_runners(const PluginLibrary& plugin);
    // The line of `config`: power systems that name the same port share one (a multi-drop bus).
    std::shared_ptr<line::SerialTransport> line_for(const SystemConfig& config, int baud);
    void check_queries() const;
    void start_outputs();
    void save_round(const CompletedRound& round);

    SiteConfig site_;
    SiteOptions options_;
    // Between the host and the console: a line said again and again is counted, not repeated.
    std::shared_ptr<RepeatSummary> repeats_;
    std::shared_ptr<PluginLibrary> plugin_;
    std::shared_ptr<HistoryStore> store_;
    std::shared_ptr<HistoryWriter> history_;
    std::shared_ptr<EventLog> events_;
    std::shared_ptr<RoundRouter> router_;
    std::shared_ptr<Controller> controller_;
    std::vector<std::unique_ptr<SystemRunner>> runners_;
    std::vector<std::shared_ptr<line::SerialTransport>> lines_;  // one per runner, shared ones repeated
    std::vector<Event> firstAnswers_;
    // Goes before the event log and the controller: its final lines still reach the event file.
    std::unique_ptr<TraceCapture> capture_;
    // MQTT and the metrics file; last, so that it goes first, once polling has stopped.
    std::unique_ptr<SiteOutputs> outputs_;
};

}  // namespace site
