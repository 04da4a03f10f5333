#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "line/answer_timer.h"

namespace site {

// One argument of a plug-in log line, as the host saw it.
struct LogValue {
    enum class Kind { Unsigned, Signed, Text };
    Kind kind = Kind::Unsigned;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    std::string s;
    std::string str() const;
};

enum class EventKind {
    Request,      // a request handed to the line: cid1, cid2, bytes = INFO
    Answer,       // a decoded answer: cid1, rtn, bytes = INFO
    Rejected,     // a frame or answer not handed to the device: reason in `text`, rtn if any
    Timeout,      // no answer within the reply timeout
    Reset,        // the device ended its exchange
    Publish,      // SendSP: record, bytes = image
    History,      // SaveDeviceHistory: record (of the last publish), bytes = image
    Alarm,        // CheckThresholdBool: level, key, code, name, text, active, seq
    AlertMap,     // CheckAlertMap: state, level, key, code, name, text, stateTexts, seq
    Raised,       // an alarm went active (or a state alarm left state 0): key, code, name, text, state
    Cleared,      // an alarm went inactive
    Batch,        // DoBatchCheckThreshold: `seq` = number of rules, active = result
    Log,          // InfoLog: format, args, text = rendered line
    Query,        // Get_Value: name in `key`, value or error in `text`
    WorkError,    // a work item threw: text
    Round,        // a polling round ended (host side)
    Line,         // the line to a power system failed or came back: text
    Discard,      // input dropped unread: reason in `text`, `count` bytes
    Trace,        // a line the plug-in printed on its standard output: text
    Output,       // news of the host's outputs (MQTT connection, metrics file, availability): text
    AnswerTimes,  // at a round's end, the answer time learned for each request kind: answerTimes
};
// AnswerTimes is the last kind: a new kind goes before it or moves this bound with it.
constexpr int kEventKinds = static_cast<int>(EventKind::AnswerTimes) + 1;

struct Event {
    EventKind kind{};
    unsigned device = 0;
    std::uint8_t cid1 = 0;
    std::uint8_t cid2 = 0;
    std::uint8_t rtn = 0;
    std::vector<std::uint8_t> bytes;
    int record = 0;
    int level = 0;
    std::string key, code, name, text;
    bool active = false;
    std::uint8_t state = 0;
    std::map<std::uint8_t, std::string> stateTexts;
    unsigned short seq = 0;
    std::string format;
    std::vector<LogValue> args;
    float value = 0;
    bool failed = false;
    std::uint64_t count = 0;
    std::vector<line::AnswerTimer::Learned> answerTimes;

    std::vector<std::string> arg_texts() const;
};

const char* to_string(EventKind kind);

// Sees the host service calls of the plug-in. Called on the thread of the call.
class Observer {
public:
    virtual ~Observer() = default;
    virtual void on_event(const Event& event) = 0;
    // The kinds it looks at: an event nobody wants is never built (a round checks thousands
    // of alarms). Asked once, when the controller is made.
    virtual bool wants(EventKind) const { return true; }
};

// Keeps every event; for tests.
class Recorder : public Observer {
public:
    void on_event(const Event& event) override;
    std::vector<Event> events() const;
    std::vector<Event> of(EventKind kind) const;
    std::size_t count(EventKind kind) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

// Forwards to several observers.
class Fanout : public Observer {
public:
    void add(std::shared_ptr<Observer> observer);
    void on_event(const Event& event) override;
    bool wants(EventKind kind) const override;

private:
    std::vector<std::shared_ptr<Observer>> observers_;
};

}  // namespace site
