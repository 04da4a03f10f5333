#include "site/run/site_host.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <thread>

#include "line/serial.h"
#include "site/host/host_access.h"
#include "site/host/plugin_loader.h"
#include "site/trace/console.h"
#include "site/trace/event_log.h"
#include "site/run/round_router.h"
#include "site/trace/repeat_summary.h"
#include "site/trace/round_summary.h"
#include "site/outputs/site_outputs.h"
#include "site/trace/trace_capture.h"
#include "site/config/usage_error.h"
#include "site/store/history_writer.h"

namespace site {
namespace {

constexpr std::size_t kSystemsPerLoop = 8;

// The plug-in is named by the operator: one that cannot be used is theirs to mend.
std::shared_ptr<PluginLibrary> load_plugin(const std::string& path) {
    try {
        return std::make_shared<PluginLibrary>(path);
    } catch (const PluginError& e) {
        throw UsageError(e.what());
    }
}
// How long stopping waits for rounds the database has not taken yet (another process holds it).
constexpr std::chrono::seconds kHistoryFlushLimit(5);

// Text handed over in blocks of lines, told as one console entry without the last newline.
void print_info(const std::string& text) {
    if (text.empty()) return;
    console(Level::Info, text.back() == '\n' ? text.substr(0, text.size() - 1) : text);
}

void print_warning(const std::string& text) { console(Level::Warn, text); }

// The round's alarm transitions as the history keeps them.
std::vector<AlarmChange> alarm_changes(const CompletedRound& round) {
    std::vector<AlarmChange> changes;
    changes.reserve(round.transitions.size());
    for (const RoundAlarm& alarm : round.transitions)
        changes.push_back(AlarmChange{alarm.unit, alarm.change == AlarmCheck::Change::Raised, alarm.key, alarm.code,
                                      alarm.text, alarm.level});
    return changes;
}

// The host's own account of what happens in the plug-in, on the console (the runners tell
// their lines' failures themselves). The device's log lines after the first are counted.
class ConsoleReport : public Observer {
public:
    explicit ConsoleReport(std::shared_ptr<RepeatSummary> repeats) : repeats_(std::move(repeats)) {}

    bool wants(EventKind kind) const override {
        switch (kind) {
            case EventKind::Log:
            case EventKind::WorkError: return true;
            case EventKind::Rejected:
            case EventKind::Timeout: return console_shows(Level::Debug);
            default: return false;
        }
    }

    void on_event(const Event& event) override {
        switch (event.kind) {
            case EventKind::Log: {
                // The device's log lines differ in their numbers: told as one kind per device.
                const std::string device = "device " + std::to_string(event.device) + ": ";
                repeats_->say(Level::Warn, device + event.text, device + "plug-in log lines");
                break;
            }
            case EventKind::WorkError: repeats_->say(Level::Error, "round work failed: " + event.text); break;
            case EventKind::Rejected:
                if (console_shows(Level::Debug)) console(Level::Debug, system(event) + "answer refused: " + event.text);
                break;
            case EventKind::Timeout:
                if (console_shows(Level::Debug)) console(Level::Debug, system(event) + "no answer in time");
                break;
            default: break;
        }
    }

private:
    static std::string system(const Event& event) { return "power system " + std::to_string(event.device) + ": "; }

    std::shared_ptr<RepeatSummary> repeats_;
};

}  // namespace

SiteHost::SiteHost(SiteConfig site, SiteOptions options) : site_(std::move(site)), options_(std::move(options)) {
    if (!options_.print) options_.print = print_info;
    if (!options_.warn) options_.warn = print_warning;
    if (!options_.console) options_.console = console;
    repeats_ = std::make_shared<RepeatSummary>(options_.console);
    options_.console = [repeats = repeats_](Level level, const std::string& text) { repeats->say(level, text); };
    plugin_ = load_plugin(options_.pluginPath);
    std::string notice;
    store_ = HistoryStore::open(options_.dbPath, HistoryStore::Mode::ReadWrite, &notice);
    if (!notice.empty()) options_.warn(notice);

    auto observers = std::make_shared<Fanout>();
    if (!options_.eventsPath.empty()) {
        events_ = std::make_shared<EventLog>(options_.eventsPath);
        observers->add(events_);
    }
    const auto warn = options_.warn;
    HistoryWriterOptions historyOptions;
    historyOptions.keepDays = site_.historyKeepDays;
    history_ = std::make_shared<HistoryWriter>(
        store_, [warn](const std::string& what) { warn("history: " + what); }, historyOptions);
    observers->add(std::make_shared<ConsoleReport>(repeats_));
    if (options_.observer) observers->add(options_.observer);
    controller_ = std::make_shared<Controller>(observers, WorkMode::Thread);
    router_ = std::make_shared<RoundRouter>(history_);
    controller_->set_sink(router_);
    if (options_.captureTrace)
        capture_ = std::make_unique<TraceCapture>([this](const std::string& line) { trace(line); });

    create_runners(*plugin_);
    check_queries();
    start_outputs();
    for (const auto& runner : runners_)
        for (const std::string& line : runner->restore(*store_)) options_.print("restore " + line + "\n");
    std::string answers;
    for (const auto& runner : runners_) {
        for (Event& answer : runner->ask_queries()) {
            answers += query_line(answer) + "\n";
            firstAnswers_.push_back(std::move(answer));
        }
    }
    if (!answers.empty()) options_.print(answers);
}

SiteHost::~SiteHost() {
    // Round work still queued must run while the controller is alive: it saves the history.
    if (controller_) drain();
}

void SiteHost::trace(const std::string& line) const {
    if (console_shows(Level::Debug)) console(Level::Debug, "plug-in: " + line);
    Event event;
    event.kind = EventKind::Trace;
    event.text = line;
    controller_->emit(event);
}

void SiteHost::create_runners(const PluginLibrary& plugin) {
    for (const SystemConfig& config : site_.systems) {
        const std::string title = "power system " + std::to_string(config.dataId);
        if (config.port.empty()) throw std::runtime_error(title + ": no port");
        PowerSystem system = create_power_system(plugin, controller_, config);
        const int baud = VRTHostAccess::baud_rate(*system.protocol);
        if (!line::supported_baud(baud))
            throw std::runtime_error(title + ": unsupported baud rate " + std::to_string(baud));
        std::shared_ptr<line::SerialTransport> line = line_for(config, baud);
        lines_.push_back(line);
        SystemRunner::Options runnerOptions;
        runnerOptions.say = [repeats = repeats_](Level level, const std::string& text, const std::string& kind) {
            if (kind.empty()) {
                repeats->say(level, text);
            } else {
                repeats->say(level, text, kind);
            }
        };
        runnerOptions.roundLimit = options_.rounds;
        runnerOptions.queries = options_.queries;
        const auto print = options_.print;
        runnerOptions.keepChecks = !site_.mqtt.host.empty() || !site_.metricsFile.empty() || options_.onRound;
        runnerOptions.onRound = [this, print](const std::shared_ptr<const CompletedRound>& round) {
            save_round(*round);
            if (console_shows(Level::Info)) print(round_summary(*round));
            if (outputs_) outputs_->on_round(round);
            if (options_.onRound) options_.onRound(round);
        };
        runners_.push_back(std::make_unique<SystemRunner>(config, std::move(system), controller_, std::move(line),
                                                          std::move(runnerOptions)));
        router_->add(*runners_.back());
        history_->add_system(config.dataId, runners_.back()->data_ids());
        options_.console(Level::Info, title + ": " + runners_.back()->line_settings());
    }
}

std::shared_ptr<line::SerialTransport> SiteHost::line_for(const SystemConfig& config, int baud) {
    for (std::size_t i = 0; i < runners_.size(); ++i) {
        if (!same_port(site_.systems[i].port, config.port)) continue;
        const SystemConfig& first = site_.systems[i];
        if (lines_[i]->port().baud() != baud || line::format_text(first.format) != line::format_text(config.format))
            throw std::runtime_error("power system " + std::to_string(config.dataId) + ": port " + config.port +
                                     " is shared with power system " + std::to_string(first.dataId) +
                                     " at other line settings");
        return lines_[i];
    }
    auto line = std::make_shared<line::SerialTransport>(config.port, baud, config.format);
    // A port held by another program fails at once rather than being polled in vain.
    if (!line->port().ensure_open() && line->port().in_use()) throw std::runtime_error("port " + line->last_error());
    return line;
}

// Queued behind the round's own work items, which hand over its images: when it runs, the round
// is complete and is saved as one, with its alarm changes.
void SiteHost::save_round(const CompletedRound& round) {
    const std::int64_t endedAt =
        std::chrono::duration_cast<std::chrono::milliseconds>(round.endedAt.time_since_epoch()).count();
    controller_->post([history = history_, system = round.system, endedAt, alarms = alarm_changes(round)]() mutable {
        history->end_round(system, endedAt, std::move(alarms));
    });
}

void SiteHost::start_outputs() {
    if (site_.mqtt.host.empty() && site_.metricsFile.empty()) return;
    SiteOutputs::Setup setup;
    setup.mqtt = site_.mqtt;
    setup.metricsFile = site_.metricsFile;
    for (std::size_t i = 0; i < runners_.size(); ++i) {
        const SystemConfig& config = site_.systems[i];
        setup.systems.push_back(SystemUnits{config.dataId, runners_[i]->data_ids()});
    }
    const std::shared_ptr<HistoryWriter> history = history_;
    setup.history = [history] { return HistoryCounts{history->saved(), history->failed()}; };
    // The outputs are declared after the runners, so they go first.
    setup.counts = [this](unsigned system) {
        for (const auto& runner : runners_)
            if (runner->data_id() == system) return runner->counts();
        return SystemCounts();
    };
    const std::shared_ptr<Controller> controller = controller_;
    setup.report = [controller, say = options_.console](Level level, const std::string& text) {
        say(level, text);
        Event event;
        event.kind = EventKind::Output;
        event.text = text;
        controller->emit(event);
    };
    outputs_ = std::make_unique<SiteOutputs>(std::move(setup));
}

void SiteHost::check_queries() const {
    for (const QuerySpec& query : options_.queries) {
        const bool known = std::any_of(runners_.begin(), runners_.end(),
                                       [&](const auto& runner) { return runner->find(query.dataId) != nullptr; });
        if (!known)
            throw UsageError("query " + query.name + "@" + std::to_string(query.dataId) +
                             ": no unit of the site has that data id");
    }
}

bool SiteHost::run(int stopFd) {
    const std::size_t wanted =
        options_.loops != 0 ? options_.loops : (runners_.size() + kSystemsPerLoop - 1) / kSystemsPerLoop;
    const std::size_t count = std::max<std::size_t>(1, std::min(wanted, runners_.size()));
    std::vector<EventLoop> loops(count);
    // Power systems on one line take turns on it, so they share a loop (and its thread).
    std::vector<std::size_t> loopOf(runners_.size());
    std::size_t nextLoop = 0;
    for (std::size_t i = 0; i < runners_.size(); ++i) {
        const auto shared = std::find(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(i), lines_[i]);
        loopOf[i] = shared != lines_.begin() + static_cast<std::ptrdiff_t>(i)
                        ? loopOf[static_cast<std::size_t>(shared - lines_.begin())]
                        : nextLoop++ % count;
        loops[loopOf[i]].add(*runners_[i]);
    }

    std::vector<char> stopped(count, 0);
    std::vector<std::exception_ptr> errors(count);
    auto run_loop = [&](std::size_t k) {
        try {
            stopped[k] = loops[k].run(stopFd) ? 1 : 0;
        } catch (...) {
            errors[k] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t k = 1; k < count; ++k) threads.emplace_back(run_loop, k);
    run_loop(0);
    for (std::thread& thread : threads) thread.join();
    for (const std::exception_ptr& error : errors)
        if (error) std::rethrow_exception(error);
    return std::find(stopped.begin(), stopped.end(), 1) != stopped.end();
}

void SiteHost::drain() {
    controller_->drain();
    history_->flush(kHistoryFlushLimit);
    repeats_->flush();
}

}  // namespace site
