#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One alarm rule of an AC unit. `input` selects the watched state: for a channel rule
// 0 a, 1 b, 2 c, 3 f (and the text suffix); for a unit rule 0 ia, 1 ib, 2 ic.
struct AcAlarmRule {
    std::string key;
    std::string code;
    std::string name;
    int level;
    std::uint8_t input;
    std::uint8_t state;  // the alarm state that makes the rule active
};

constexpr std::size_t kAcChannelInputs = 4;

// "AC_0" .. "AC_10", reported for every channel in this order.
const std::array<AcAlarmRule, 11>& ac_channel_rules();
// "AC_12" .. "AC_20", reported once per unit after the channels.
const std::array<AcAlarmRule, 9>& ac_unit_rules();
// The text of every unit rule.
const std::string& ac_unit_alarm_text();

// Texts of the channel rules ("交流屏1输入线/相电压AB/A", ...), built once per channel
// and kept, so that a round reports them without building strings.
class AcChannelAlarmTexts {
public:
    // Makes texts for channels 0 .. count-1 available.
    void cover(std::size_t count);
    // Valid for channel < the largest count covered so far.
    const std::string& text(std::size_t channel, std::uint8_t input) const { return texts_[channel][input]; }

private:
    std::vector<std::array<std::string, kAcChannelInputs>> texts_;
};
