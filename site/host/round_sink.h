#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "site/host/history_sink.h"

namespace site {

// One alarm check of a unit, as the device asked for it, with what it changed.
struct AlarmCheck {
    enum class Change { None, Raised, Cleared };
    unsigned device = 0;
    int level = 0;
    const std::string& key;
    const std::string& code;
    const std::string& name;
    const std::string& text;
    std::uint8_t state = 0;   // 0: normal; a plain alarm is 1 when active
    bool multiState = false;  // CheckAlertMap: a state value rather than active/inactive
    Change change = Change::None;
};

// Copies what an alarm check says (level, key, code, name, text, state) from one record of it
// to another: a check into an event or a round's alarm, a round's alarm into the outputs' state.
template <class From, class To>
void copy_alarm_facts(const From& from, To& to) {
    to.level = from.level;
    to.key = from.key;
    to.code = from.code;
    to.name = from.name;
    to.text = from.text;
    to.state = from.state;
}

// Where the host services put what a round produces, as it happens: each unit's published
// image and alarm checks, the history images, and the round's end. The data path of a round
// goes through here; the event bus is only looked at by the trace and the console.
class RoundSink : public HistorySink {
public:
    // SendSP of a unit; on the polling thread.
    virtual void published(unsigned device, int record, const unsigned char* image, std::size_t size) = 0;
    // CheckThresholdBool and CheckAlertMap; on the polling thread.
    virtual void alarm_checked(const AlarmCheck& check) = 0;
    // A log line of the plug-in: the device of its first argument, and its format; any thread.
    virtual void logged(unsigned device, const char* format) = 0;
    // The power system `system` went back to its first step: the round is complete. On the
    // polling thread, after the round's work items were queued.
    virtual void round_ended(unsigned system) = 0;
};

}  // namespace site
