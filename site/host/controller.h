#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include <bitset>

#include "host/vrt_controller.h"
#include "site/host/events.h"
#include "site/host/round_sink.h"
#include "site/host/work_queue.h"

namespace site {

// Renders a log format with its arguments, in "{}" or printf style ("%u", "%d", "%x", "%s");
// never throws.
std::string render_log(const char* format, const VRTLogArg* args, unsigned count) noexcept;

// Keeps the state of every alarm by device, key, code and text, and tells transitions.
class AlarmBook {
public:
    using Change = AlarmCheck::Change;
    // state 0 is the normal state; any other value is active.
    Change check(unsigned device, const std::string& key, const std::string& code, const std::string& text,
                 std::uint8_t state);
    std::size_t active_count() const;

private:
    mutable std::mutex mutex_;
    std::map<std::tuple<unsigned, std::string, std::string, std::string>, std::uint8_t> states_;
};

enum class WorkMode { Thread, Inline };

// The stand-in site controller: owner of the host services the devices call.
class Controller : public VRTController {
public:
    explicit Controller(std::shared_ptr<Observer> observer = nullptr, WorkMode mode = WorkMode::Thread);
    ~Controller() override;

    // True when an observer looks at events of this kind.
    bool observed(EventKind kind) const { return wanted_[static_cast<std::size_t>(kind)]; }
    void emit(const Event& event) const;
    AlarmBook& alarms() { return alarms_; }
    void post(std::function<void()> work);
    // Waits until every queued work item has run.
    void drain();
    // Where rendered log lines go besides the observer (none by default).
    void set_log_file(std::FILE* file) { logFile_ = file; }
    void log(const char* format, const VRTLogArg* args, unsigned count) const noexcept;
    // Where what the rounds produce goes (nowhere by default); set before the devices run.
    void set_sink(std::shared_ptr<RoundSink> sink) { sink_ = std::move(sink); }
    // Nullptr when there is none.
    RoundSink* sink() const { return sink_.get(); }

private:
    std::shared_ptr<Observer> observer_;
    std::bitset<kEventKinds> wanted_;
    std::shared_ptr<RoundSink> sink_;
    AlarmBook alarms_;
    std::unique_ptr<WorkQueue> work_;
    std::FILE* logFile_ = nullptr;
};

}  // namespace site
