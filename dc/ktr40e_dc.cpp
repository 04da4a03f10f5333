#include "dc/ktr40e_dc.h"

#include <array>
#include <cstdint>
#include <map>

namespace {

constexpr int kModelAlarmLevel = 2;
// The state byte that raises no model alarm ("正常" for the multi-state ones).
constexpr std::uint8_t kClear = 0;
constexpr std::size_t kModelAlarmCount = 11;

// Shared by every DC unit of the process; read-only once built.
const std::map<std::uint8_t, std::string>& state_texts() {
    static const auto* texts =
        new std::map<std::uint8_t, std::string>{{0, "正常"}, {1, "低于下限"}, {2, "高于上限"}, {0xF0, "故障"}};
    return *texts;
}

// Entry k reads alert_p[k]: a flag is active on its one byte value, a multi-state alarm hands the
// host the byte with the state texts. Built once per process, on first use, and never destroyed:
// a host thread may still be in a round at exit.
const std::array<AlarmRule, kModelAlarmCount>& model_alarms() {
    const auto* states = &state_texts();
    static const auto* alarms = new std::array<AlarmRule, kModelAlarmCount>{{
        {"KTRE40_DC_0", "06029", "辅助熔丝断", kModelAlarmLevel, 3, 0, "其他告警"},
        {"KTRE40_DC_1", "06029", "电池1电压告警", kModelAlarmLevel, 0, 1, "其他告警", states},
        {"KTRE40_DC_2", "06029", "电池2电压告警", kModelAlarmLevel, 0, 2, "其他告警", states},
        {"KTRE40_DC_3", "06002", "电池充电过流告警", kModelAlarmLevel, 0, 3, "电池1充电过流告警", states},
        {"KTRE40_DC_4", "06002", "电池充电过流告警", kModelAlarmLevel, 0, 4, "电池2充电过流告警", states},
        {"KTRE40_DC_5", "06001", "电池熔丝故障告警", kModelAlarmLevel, 3, 5, "负载熔丝1故障告警"},
        {"KTRE40_DC_6", "06001", "电池熔丝故障告警", kModelAlarmLevel, 3, 6, "负载熔丝2故障告警"},
        {"KTRE40_DC_7", "06029", "DC/DC故障", kModelAlarmLevel, 0xF0, 7, "其他告警"},
        {"KTRE40_DC_8", "06029", "二次下电告警", kModelAlarmLevel, 0xE3, 8, "其他告警"},
        {"KTRE40_DC_9", "06029", "电池保护告警", kModelAlarmLevel, 0xE4, 9, "其他告警"},
        {"KTRE40_DC_10", "06011", "直流屏通讯中断告警", kModelAlarmLevel, 0xE2, 10, "直流屏通讯中断告警状态"},
    }};
    return *alarms;
}

}  // namespace

Ktr40eDC::Ktr40eDC() { deviceType_ = "ktr40e-dc"; }

Ktr40eDC::Ktr40eDC(const std::string& model) : PMBusPowerDC(model) { deviceType_ = "ktr40e-dc"; }

bool Ktr40eDC::LoadFromCache(const unsigned char* data, int len) {
    if (!PMBusPowerDC::LoadFromCache(data, len)) return false;
    modelAlarmsReported_ = core_.record.alert_p_count == tele_c_ktr40e_dc::ALERT_P_SIZE();
    return true;
}

void Ktr40eDC::DoImpCheckAlert() {
    // Only a complete set of states carries the model's meanings; when the count changes away
    // from that, every model alarm is reported clear once, so none stays raised.
    const bool complete = core_.record.alert_p_count == tele_c_ktr40e_dc::ALERT_P_SIZE();
    if (!complete && !modelAlarmsReported_) return;
    modelAlarmsReported_ = complete;
    static_assert(kModelAlarmCount <= tele_c_ktr40e_dc::ALERT_P_SIZE(), "one state byte per model alarm");
    for (const AlarmRule& alarm : model_alarms()) {
        const std::uint8_t state = complete ? core_.record.alert_p[alarm.input] : kClear;
        report_alarm(*this, alarm, alarm.text, state, alarmSeq_++);
    }
}
