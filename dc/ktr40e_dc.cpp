#include "dc/ktr40e_dc.h"

#include <array>
#include <cstdint>
#include <map>

namespace {

// How the model reports one byte of alert_p.
struct ModelAlarm {
    enum class Kind { Flag, States };
    std::string key;
    std::string code;
    std::string name;
    std::string text;
    Kind kind;
    std::uint8_t activeWhen;  // Flag only: the one byte value that raises the alarm
};

constexpr int kModelAlarmLevel = 2;
// The state byte that raises no model alarm ("正常" for the multi-state ones).
constexpr std::uint8_t kClear = 0;
constexpr std::size_t kModelAlarmCount = 11;

// Entry k reads alert_p[k]. Built once per process, on first use, and never destroyed: a host
// thread may still be in a round at exit.
const std::array<ModelAlarm, kModelAlarmCount>& model_alarms() {
    using Kind = ModelAlarm::Kind;
    static const auto* alarms = new std::array<ModelAlarm, kModelAlarmCount>{{
        {"KTRE40_DC_0", "06029", "辅助熔丝断", "其他告警", Kind::Flag, 3},
        {"KTRE40_DC_1", "06029", "电池1电压告警", "其他告警", Kind::States, 0},
        {"KTRE40_DC_2", "06029", "电池2电压告警", "其他告警", Kind::States, 0},
        {"KTRE40_DC_3", "06002", "电池充电过流告警", "电池1充电过流告警", Kind::States, 0},
        {"KTRE40_DC_4", "06002", "电池充电过流告警", "电池2充电过流告警", Kind::States, 0},
        {"KTRE40_DC_5", "06001", "电池熔丝故障告警", "负载熔丝1故障告警", Kind::Flag, 3},
        {"KTRE40_DC_6", "06001", "电池熔丝故障告警", "负载熔丝2故障告警", Kind::Flag, 3},
        {"KTRE40_DC_7", "06029", "DC/DC故障", "其他告警", Kind::Flag, 0xF0},
        {"KTRE40_DC_8", "06029", "二次下电告警", "其他告警", Kind::Flag, 0xE3},
        {"KTRE40_DC_9", "06029", "电池保护告警", "其他告警", Kind::Flag, 0xE4},
        {"KTRE40_DC_10", "06011", "直流屏通讯中断告警", "直流屏通讯中断告警状态", Kind::Flag, 0xE2},
    }};
    return *alarms;
}

// Shared by every DC unit of the process; read-only once built.
const std::map<std::uint8_t, std::string>& state_texts() {
    static const auto* texts = new std::map<std::uint8_t, std::string>{
        {0, "正常"}, {1, "低于下限"}, {2, "高于上限"}, {0xF0, "故障"}};
    return *texts;
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
    const auto& alarms = model_alarms();
    for (std::size_t k = 0; k < alarms.size(); ++k) {
        const ModelAlarm& alarm = alarms[k];
        const std::uint8_t state = complete ? core_.record.alert_p[k] : kClear;
        if (alarm.kind == ModelAlarm::Kind::States) {
            CheckAlertMap(state, kModelAlarmLevel, alarm.key, alarm.code, alarm.name, alarm.text, state_texts(),
                          alarmSeq_++);
        } else {
            CheckThresholdBool(kModelAlarmLevel, alarm.key, alarm.code, alarm.name, alarm.text,
                               state == alarm.activeWhen, alarmSeq_++);
        }
    }
}
