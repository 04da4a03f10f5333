#include "site/site_host.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "site/console.h"
#include "site/event_log.h"
#include "site/history_store.h"
#include "site/host_access.h"
#include "site/plugin_loader.h"
#include "site/round_summary.h"
#include "site/serial.h"
#include "site/site_outputs.h"

namespace site {
namespace {

constexpr std::size_t kSystemsPerLoop = 8;

std::mutex& terminal_mutex() {
    static std::mutex mutex;
    return mutex;
}

// Standard output is shared with the plug-in's trace lines: one block at a time, flushed.
void print_stdout(const std::string& text) {
    std::lock_guard<std::mutex> lock(terminal_mutex());
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void print_stderr(const std::string& text) {
    std::lock_guard<std::mutex> lock(terminal_mutex());
    std::fprintf(stderr, "sitehost: %s\n", text.c_str());
}

}  // namespace

SiteHost::SiteHost(SiteConfig site, SiteOptions options) : site_(std::move(site)), options_(std::move(options)) {
    if (!options_.print) options_.print = print_stdout;
    if (!options_.warn) options_.warn = print_stderr;
    plugin_ = std::make_shared<PluginLibrary>(options_.pluginPath);
    std::string notice;
    store_ = HistoryStore::open(options_.dbPath, HistoryStore::Mode::ReadWrite, &notice);
    if (!notice.empty()) options_.warn(notice);

    auto observers = std::make_shared<Fanout>();
    if (!options_.eventsPath.empty()) {
        events_ = std::make_shared<EventLog>(options_.eventsPath);
        observers->add(events_);
    }
    const auto warn = options_.warn;
    history_ = std::make_shared<HistoryWriter>(store_, [warn](const std::string& what) { warn("history: " + what); });
    observers->add(history_);
    router_ = std::make_shared<EventRouter>();
    observers->add(router_);
    if (options_.observer) observers->add(options_.observer);
    controller_ = std::make_shared<Controller>(observers, WorkMode::Thread);

    create_runners(*plugin_);
    check_queries();
    start_outputs();
    std::string restored;
    for (const auto& runner : runners_)
        for (const std::string& line : runner->restore(*store_)) restored += "restore " + line + "\n";
    options_.print(restored);
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
    if (controller_) controller_->drain();
}

void SiteHost::create_runners(const PluginLibrary& plugin) {
    for (const SystemConfig& config : site_.systems) {
        const std::string title = "power system " + std::to_string(config.dataId);
        if (config.port.empty()) throw std::runtime_error(title + ": no port");
        PowerSystem system = create_power_system(plugin, controller_, config);
        const int baud = VRTHostAccess::baud_rate(*system.protocol);
        if (!supported_baud(baud)) throw std::runtime_error(title + ": unsupported baud rate " + std::to_string(baud));
        auto line = std::make_shared<SerialTransport>(config.port, baud);
        SystemRunner::Options runnerOptions;
        runnerOptions.roundLimit = options_.rounds;
        runnerOptions.queries = options_.queries;
        const auto print = options_.print;
        const std::size_t index = runners_.size();
        runnerOptions.keepChecks = !site_.mqtt.host.empty() || !site_.metricsFile.empty();
        runnerOptions.onRound = [this, print, index](const RoundReport& report) {
            print(round_summary(report));
            if (outputs_) outputs_->on_round(report, counts_of(*runners_[index]));
        };
        runners_.push_back(std::make_unique<SystemRunner>(config, std::move(system), controller_, std::move(line),
                                                          std::move(runnerOptions)));
        router_->add(*runners_.back());
    }
}

void SiteHost::start_outputs() {
    if (site_.mqtt.host.empty() && site_.metricsFile.empty()) return;
    SiteOutputs::Setup setup;
    setup.mqtt = site_.mqtt;
    setup.metricsFile = site_.metricsFile;
    for (std::size_t i = 0; i < runners_.size(); ++i) {
        const SystemConfig& config = site_.systems[i];
        setup.systems.push_back({SystemUnits{config.dataId, runners_[i]->data_ids()}, config.pollInterval,
                                 config.minRoundGap});
    }
    const std::shared_ptr<HistoryWriter> history = history_;
    setup.history = [history] { return HistoryCounts{history->saved(), history->failed()}; };
    const std::shared_ptr<Controller> controller = controller_;
    setup.report = [controller](Level level, const std::string& text) {
        console(level, text);
        Event event;
        event.kind = EventKind::Output;
        event.text = text;
        controller->emit(event);
    };
    outputs_ = std::make_unique<SiteOutputs>(std::move(setup));
}

// The line keeps no count of late answers yet, and refused answers only in total.
SystemCounts SiteHost::counts_of(const SystemRunner& runner) const {
    SystemCounts counts;
    counts.rounds = runner.rounds();
    counts.replyTimeouts = runner.timeouts();
    counts.refusedByReason["any"] = runner.rejected();
    return counts;
}

void SiteHost::check_queries() const {
    for (const QuerySpec& query : options_.queries) {
        const bool known = std::any_of(runners_.begin(), runners_.end(),
                                       [&](const auto& runner) { return runner->find(query.dataId) != nullptr; });
        if (!known)
            throw std::invalid_argument("query " + query.name + "@" + std::to_string(query.dataId) +
                                        ": no unit of the site has that data id");
    }
}

bool SiteHost::run(int stopFd) {
    const std::size_t wanted = options_.loops != 0 ? options_.loops : (runners_.size() + kSystemsPerLoop - 1) / kSystemsPerLoop;
    const std::size_t count = std::max<std::size_t>(1, std::min(wanted, runners_.size()));
    std::vector<EventLoop> loops(count);
    for (std::size_t i = 0; i < runners_.size(); ++i) loops[i % count].add(*runners_[i]);

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

void SiteHost::drain() { controller_->drain(); }

}  // namespace site
