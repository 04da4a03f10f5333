#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/vrt_vdevice.h"

// One alarm the plug-in reports to the host's alarm service. The AC, DC, rectifier and model
// alarms all take this shape: a rule watches one state byte of its unit (`input`, numbered as
// the unit numbers its states) and is active while that byte is `activeWhen`. A multi-state
// rule (`stateTexts` set) hands the host the state byte itself, with the text of each state.
struct AlarmRule {
    std::string key;
    std::string code;
    std::string name;
    int level = 0;
    std::uint8_t activeWhen = 0;
    std::uint8_t input = 0;
    std::string text = {};  // the report's text where it is the same for every channel or module
    const std::map<std::uint8_t, std::string>* stateTexts = nullptr;

    bool active(std::uint8_t state) const { return state == activeWhen; }
};

// Reports `rule` for the state byte `state` under `text`, numbered `seq`; true when it is active.
inline bool report_alarm(VRTVDevice& unit, const AlarmRule& rule, const std::string& text, std::uint8_t state,
                         std::uint16_t seq) {
    if (rule.stateTexts != nullptr) {
        unit.CheckAlertMap(state, rule.level, rule.key, rule.code, rule.name, text, *rule.stateTexts, seq);
    } else {
        unit.CheckThresholdBool(rule.level, rule.key, rule.code, rule.name, text, rule.active(state), seq);
    }
    return rule.active(state);
}

// Clears `rule` under `text`, numbered `seq`.
inline void clear_alarm(VRTVDevice& unit, const AlarmRule& rule, const std::string& text, std::uint16_t seq) {
    unit.CheckThresholdBool(rule.level, rule.key, rule.code, rule.name, text, false, seq);
}

// Which alarms of each channel or module the rounds so far left raised (a bit per rule, in the
// order the unit reports them), so that when the list gets shorter the alarms of the items that
// left are cleared: one call each, in the next round. The list grows only with the items.
class RaisedAlarms {
public:
    static constexpr unsigned kMaxRules = 32;

    void note(std::size_t item, unsigned rule, bool active) {
        if (item >= raised_.size()) {
            if (!active) return;
            raised_.resize(item + 1);
        }
        const std::uint32_t bit = std::uint32_t{1} << rule;
        raised_[item] = active ? (raised_[item] | bit) : (raised_[item] & ~bit);
    }

    // For every item from `count` on, in order, calls clear(item, rule) for each of its rules
    // still raised, in rule order; those items are then forgotten.
    template <class Clear>
    void clear_gone(std::size_t count, Clear clear) {
        for (std::size_t item = count; item < raised_.size(); ++item) {
            std::uint32_t bits = std::exchange(raised_[item], 0);
            for (unsigned rule = 0; bits != 0; ++rule, bits >>= 1) {
                if ((bits & 1u) != 0) clear(item, rule);
            }
        }
    }

private:
    std::vector<std::uint32_t> raised_;
};
