#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "site/controller.h"
#include "site/events.h"
#include "site/output_model.h"
#include "site/runner.h"
#include "site/site_config.h"

namespace site {

class EventLog;
class HistoryStore;
class HistoryWriter;
class PluginLibrary;
class SiteOutputs;

struct SiteOptions {
    std::string pluginPath;
    std::string dbPath;      // required
    std::string eventsPath;  // empty: no event file
    std::uint64_t rounds = 0;  // per power system; 0: until stopped
    std::vector<QuerySpec> queries;
    // Event loops, each on its own thread, sharing the power systems out; 0: one per 8
    // systems. The plug-in pauses 20 ms before it handles each answer, and a loop waits
    // through that pause, so many systems need more than one loop.
    std::size_t loops = 0;
    // Sees every event besides the host's own observers (tests).
    std::shared_ptr<Observer> observer;
    // Where the terminal lines go (default: standard output, flushed per block).
    std::function<void(const std::string&)> print;
    // Where warnings go (default: standard error).
    std::function<void(const std::string&)> warn;
};

// The stand-in site controller: loads the plug-in, creates and sets up every power system of
// the site on its line (every system needs a port by now), keeps the device history in
// SQLite, restores the units from it and polls until told to stop.
class SiteHost {
public:
    // Everything up to the first request: load, create, restore, first queries.
    // Throws std::runtime_error or std::invalid_argument with a message for the user.
    SiteHost(SiteConfig site, SiteOptions options);
    ~SiteHost();
    SiteHost(const SiteHost&) = delete;
    SiteHost& operator=(const SiteHost&) = delete;

    // Polls until every system has completed its rounds (false) or `stopFd` becomes
    // readable (true).
    bool run(int stopFd);
    // Waits for the queued round work (history saves included) to finish.
    void drain();

    const std::vector<std::unique_ptr<SystemRunner>>& runners() const { return runners_; }
    HistoryStore& store() { return *store_; }
    const HistoryWriter& history() const { return *history_; }
    // The query answers given before the first request.
    const std::vector<Event>& first_answers() const { return firstAnswers_; }

private:
    void create_runners(const PluginLibrary& plugin);
    void check_queries() const;
    void start_outputs();
    // What the outputs show of a runner's counters; on its polling thread.
    SystemCounts counts_of(const SystemRunner& runner) const;

    SiteConfig site_;
    SiteOptions options_;
    std::shared_ptr<PluginLibrary> plugin_;
    std::shared_ptr<HistoryStore> store_;
    std::shared_ptr<HistoryWriter> history_;
    std::shared_ptr<EventLog> events_;
    std::shared_ptr<EventRouter> router_;
    std::shared_ptr<Controller> controller_;
    std::vector<std::unique_ptr<SystemRunner>> runners_;
    std::vector<Event> firstAnswers_;
    // MQTT and the metrics file; last, so that it goes first, once polling has stopped.
    std::unique_ptr<SiteOutputs> outputs_;
};

}  // namespace site
