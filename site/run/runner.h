#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/pmbus_protocol.h"
#include "line/answer_timer.h"
#include "line/serial.h"
#include "site/host/controller.h"
#include "site/host/events.h"
#include "site/host/link.h"
#include "site/host/round_sink.h"
#include "site/round/completed_round.h"
#include "site/trace/console.h"
#include "site/round/line_counts.h"
#include "site/config/site_config.h"

namespace site {

class HistoryStore;
class PluginLibrary;

// The power system device and its units, made by the plug-in and set up with the site's settings.
struct PowerSystem {
    std::shared_ptr<VRTVDevice> device;
    PMBusProtocol* protocol = nullptr;
    // GetAllChildVDevices(): AC units, DC units, then the rectifier group.
    std::vector<std::shared_ptr<VRTVDevice>> units;
};

// Creates the power system device from provider 0, then Init and InitSetting with the
// system's settings, as the site controller does. Throws std::runtime_error when the
// device refuses the settings.
PowerSystem create_power_system(const PluginLibrary& plugin, const std::shared_ptr<Controller>& controller,
                                const SystemConfig& config);

// A value query asked of the unit with that data id: NAME@DATAID on the command line.
struct QuerySpec {
    std::string name;
    unsigned dataId = 0;
};
// Throws std::invalid_argument for a text without a name or a data id.
QuerySpec parse_query(const std::string& text);

// One power system on its line. Never blocks on the line: an event loop polls the line's
// descriptor and calls step() when it is readable or when wake_at() has come. All calls
// into the devices happen in step() and in the set-up calls, on one thread at a time.
class SystemRunner {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        std::uint64_t roundLimit = 0;  // 0: until stopped
        std::vector<QuerySpec> queries;
        // Each round as it is closed, on the polling thread.
        std::function<void(const std::shared_ptr<const CompletedRound>&)> onRound;
        // Console lines about the line's health (default: site::console). `kind` names lines
        // that are alike though their texts differ (empty: alike when the texts are).
        std::function<void(Level, const std::string& text, const std::string& kind)> say;
        bool keepChecks = false;  // fill CompletedRound::checks
    };

    SystemRunner(SystemConfig config, PowerSystem system, std::shared_ptr<Controller> controller,
                 std::shared_ptr<line::SerialTransport> line, Options options);

    unsigned data_id() const { return config_.dataId; }
    const PowerSystem& system() const { return system_; }
    // The data ids of the power system and every unit.
    std::vector<unsigned> data_ids() const;
    // The unit (or the power system device) with that data id, or nullptr.
    VRTVDevice* find(unsigned dataId) const;

    // Restores every unit from its newest saved image; one line of text per unit.
    std::vector<std::string> restore(const HistoryStore& store);
    // Asks every query of this system now and reports each through the controller.
    std::vector<Event> ask_queries();

    // The descriptor to wait on for answers, or -1.
    int poll_fd() const;
    // When step() has work to do without input.
    Clock::time_point wake_at() const;
    // Reads what the line holds (`revents` from poll), then lets the device poll when due.
    void step(Clock::time_point now, short revents);
    bool finished() const { return finished_; }
    std::uint64_t rounds() const { return rounds_; }
    std::uint64_t rejected() const { return rejected_; }
    std::uint64_t timeouts() const;
    // A copy of the line's counts; safe from any thread.
    LineCounts line_counts() const;
    // The rounds and the line's counts as the outputs show them; safe from any thread.
    SystemCounts counts() const;
    // "port /dev/ttyUSB0 9600 8N1, address 1, reply timeout 1.5 s"
    std::string line_settings() const;
    // What the host learned of the system's answer times, per request kind; empty with a fixed
    // reply timeout. On the thread that calls step(), or once polling has ended.
    std::vector<line::AnswerTimer::Learned> answer_times() const;
    // "answer times 40/41 0.21 s (wait 0.38 s), …"; empty with a fixed reply timeout.
    std::string answer_times_text() const;
    // Set when the system completed no round for give_up seconds with a round limit: why.
    const std::string& gave_up() const { return gaveUp_; }

    // What the host services produce for this system's devices (RoundRouter): the round's
    // images and alarm checks on the thread that calls step(); log lines from any thread.
    void take_image(unsigned unit, int record, const unsigned char* image, std::size_t size);
    void take_check(const AlarmCheck& check);
    void count_log(const char* format);

private:
    void read_answers();
    // True when the answer was handed to the device.
    bool handle(const line::Received& received);
    // Hands an answer to the device and notes a round it ends.
    void hand_on(const line::Answer& answer);
    // Keeps the answer to a request sent after a reply timeout until the line is quiet.
    void hold_answer(const line::Answer& answer);
    // True for the line's echo of the outstanding request, counted once per request.
    bool skip_echo(const line::Answer& answer);
    // `reason` goes into the event, `kind` is the class it is counted under.
    bool reject(const line::Received& received, const std::string& reason, const std::string& kind);
    void count_refusal(const std::string& kind);
    void expire_request(Clock::time_point now);
    void settle(Clock::time_point now, short revents);
    void note_discard(std::size_t bytes, const char* reason);
    // Teaches the answer timer the time of an answer taken, or of one that came late.
    void learn_answer_time();
    void learn_late_answer();
    void report_answer_times();
    void poll_device(Clock::time_point now);
    bool line_is_ours() const;
    void release_line();
    void hold_for_rest_of_frame(Clock::time_point now);
    void report_line_state();
    void report_line(const std::string& state);
    void finish_round(Clock::time_point now);
    // Decodes the round's images, adds the counts and hands it on.
    void close_round(Clock::time_point now);
    void watch_progress(Clock::time_point now);
    void say(Level level, const std::string& text, const std::string& kind = {}) const;

    SystemConfig config_;
    PowerSystem system_;
    std::shared_ptr<Controller> controller_;
    std::shared_ptr<line::SerialTransport> line_;
    std::shared_ptr<HostLink> link_;
    Options options_;

    Clock::time_point nextPoll_{};
    Clock::time_point roundStarted_{};
    bool inRound_ = false;
    bool roundEnded_ = false;
    bool lineDown_ = false;
    // While an answer of known length is arriving the line is left alone until its last
    // character should be in, rather than waking for every few characters.
    std::optional<Clock::time_point> restDue_;
    std::string lineError_;  // the line's failure last reported; empty while it works
    // After a reply timeout: the line must stay quiet until then before the next request.
    bool settling_ = false;
    Clock::time_point settleUntil_{};
    std::size_t settleBytes_ = 0;
    // Learns each request kind's answer time (adaptive reply timeout only).
    std::optional<line::AnswerTimer> answerTimer_;
    // The request whose reply timeout began the settle time, until its answer is known to have
    // come late or not; when the answer that may have been late came (the last bytes in the
    // settle time, or the answer held).
    std::optional<line::RequestKind> timedOutKind_;
    Clock::time_point timedOutSentAt_{};
    Clock::time_point lateAnswerAt_{};
    // The request sent after a reply timeout (HostLink::sent(); 0: none). The device may still
    // answer the request before it late, or answer this one twice: its answer is held until the
    // line has been quiet for the settle time, and only then handed on.
    std::uint64_t afterTimeout_ = 0;
    std::optional<line::Answer> heldAnswer_;
    std::uint64_t echoFor_ = 0;  // the request (HostLink::sent()) whose echo was skipped
    bool finished_ = false;
    std::atomic<std::uint64_t> rounds_{0};  // read by the outputs' thread
    std::uint64_t rejected_ = 0;
    std::shared_ptr<CompletedRound> open_;  // the round under way

    mutable std::mutex countsMutex_;  // the plug-in's log lines may come from the work thread
    LineCounts counts_;
    // Progress: when the last round ended (or polling started), the counts then, and whether
    // the missing rounds were reported.
    Clock::time_point lastRoundEnd_;
    Clock::duration lastRoundTook_{};
    LineCounts countsAtRoundEnd_;
    bool stallReported_ = false;
    std::string gaveUp_;
};

// One poll() over the lines of its runners; runs until all of them are finished or the
// stop descriptor becomes readable (it is polled, never read).
class EventLoop {
public:
    void add(SystemRunner& runner) { runners_.push_back(&runner); }
    // True when stopped through `stopFd`, false when every runner finished.
    bool run(int stopFd);

private:
    std::vector<SystemRunner*> runners_;
};

}  // namespace site
