#include "ac/ac_alarm_rules.h"

#include <utility>

// The rules and texts are built on first use and never destroyed: a host thread may still be in a
// round at exit.
const std::array<AlarmRule, 11>& ac_channel_rules() {
    static const auto* rules = new std::array<AlarmRule, 11>{{
        {"AC_0", "06015", "交流输入电压过低告警", 3, 1, 0},
        {"AC_1", "06015", "交流输入电压过低告警", 3, 1, 1},
        {"AC_2", "06015", "交流输入电压过低告警", 3, 1, 2},
        {"AC_3", "06019", "交流输入频率过低告警", 3, 1, 3},
        {"AC_4", "06014", "交流输入电压过高告警", 2, 2, 0},
        {"AC_5", "06014", "交流输入电压过高告警", 2, 2, 1},
        {"AC_6", "06014", "交流输入电压过高告警", 2, 2, 2},
        {"AC_7", "06018", "交流输入频率过高告警", 2, 2, 3},
        {"AC_8", "06017", "交流输入缺相告警", 2, 3, 0},
        {"AC_9", "06017", "交流输入缺相告警", 2, 3, 1},
        {"AC_10", "06017", "交流输入缺相告警", 2, 3, 2},
    }};
    return *rules;
}

// No rule uses the key "AC_11". The text of every unit rule is "其他告警".
const std::array<AlarmRule, 9>& ac_unit_rules() {
    static const auto* rules = new std::array<AlarmRule, 9>{{
        {"AC_12", "06029", "A相输入电流低于下限", 3, 1, 0, "其他告警"},
        {"AC_13", "06029", "B相输入电流低于下限", 3, 1, 1, "其他告警"},
        {"AC_14", "06029", "C相输入电流低于下限", 3, 1, 2, "其他告警"},
        {"AC_15", "06029", "A相输入电流高于上限", 3, 2, 0, "其他告警"},
        {"AC_16", "06029", "B相输入电流高于上限", 3, 2, 1, "其他告警"},
        {"AC_17", "06029", "C相输入电流高于上限", 3, 2, 2, "其他告警"},
        {"AC_18", "06029", "A相输入电流缺项", 3, 3, 0, "其他告警"},
        {"AC_19", "06029", "B相输入电流缺项", 3, 3, 1, "其他告警"},
        {"AC_20", "06029", "C相输入电流缺项", 3, 3, 2, "其他告警"},
    }};
    return *rules;
}

void AcChannelAlarmTexts::cover(std::size_t count) {
    static const std::array<const char*, kAcChannelInputs> suffixes{
        {"输入线/相电压AB/A", "输入线/相电压BC/B", "输入线/相电压CA/C", "频率"}};
    while (texts_.size() < count) {
        const std::string prefix = "交流屏" + std::to_string(texts_.size() + 1);
        std::array<std::string, kAcChannelInputs> texts;
        for (std::size_t input = 0; input < kAcChannelInputs; ++input) texts[input] = prefix + suffixes[input];
        texts_.push_back(std::move(texts));
    }
}
