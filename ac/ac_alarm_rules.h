#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/alarm_rule.h"

// The alarm rules of an AC unit. A rule's `input` selects the watched state: for a channel rule
// 0 a, 1 b, 2 c, 3 f (and the text suffix); for a unit rule 0 ia, 1 ib, 2 ic.
constexpr std::size_t kAcChannelInputs = 4;

// "AC_0" .. "AC_10", reported for every channel in this order.
const std::array<AlarmRule, 11>& ac_channel_rules();
// "AC_12" .. "AC_20", reported once per unit after the channels, each with its own text.
const std::array<AlarmRule, 9>& ac_unit_rules();

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
