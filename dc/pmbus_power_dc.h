#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "common/alarm_rule.h"
#include "bytes/byte_reader.h"
#include "common/unit_core.h"
#include "common/unit_support.h"
#include "host/vrt_sp_device.h"

// Prints the analog block's trace line: the voltage's four bytes. A block too short to
// hold them shows the bytes it has and nothing beyond.
inline void trace_dc_analog_block(const unsigned char* block, int remaining) {
    unsigned char head[4] = {};
    if (ByteReader(block, remaining).bytes(head, 4)) {
        std::printf("parse 42 41: %x %x %x %x\n", head[0], head[1], head[2], head[3]);
        return;
    }
    std::printf("parse 42 41:");
    ByteReader reader(block, remaining);
    std::uint8_t value = 0;
    while (reader.u8(value)) std::printf(" %x", value);
    std::printf("\n");
}

// A DC distribution unit: one record, filled by the 42/41 and 42/44 answers, published
// and evaluated at the end of every polling round. The model supplies DoImpCheckAlert.
template <class TeleDC, int RT_DC>
class PMBusPowerDC : public VRTSPDevice {
public:
    PMBusPowerDC() = default;
    // The power system device names the model it detected; nothing of the unit depends on it.
    explicit PMBusPowerDC(const std::string& /*model*/) {}

    float Get_Value(unsigned int, const std::string& name) const override;
    using VRTSPDevice::LoadFromCache;
    bool LoadFromCache(const unsigned char* data, int len) override {
        if (!core_.restore(data, len, [](const TeleDC&) { return 0; })) return false;
        // Alarms raised before the restart under a complete fuse count are cleared if it changed.
        fuseRulesReported_ = core_.record.alert_m_count == TeleDC::ALERT_M_SIZE();
        return true;
    }
    void RoundDone() override {
        core_.complete_round(RT_DC, [this] { report_threshold_rules(); });
    }
    // The round now ending did not take this unit's analog answer.
    void mark_round_stale() { core_.mark_round_stale(); }
    // Before the unit is fed its part of an answer, and when the answer is refused after all.
    void snapshot() { core_.snapshot(); }
    void roll_back() { core_.roll_back(); }
    bool InitV(VRTVDevice* parent, unsigned int dataId, const Json::Value& setting) override;

    virtual int parse42_41(const unsigned char* block, int remaining);
    virtual int parse42_44(const unsigned char* block, int remaining);
    virtual void DoImpCheckAlert() = 0;

protected:
    UnitCore<PMBusPowerDC, TeleDC> core_{*this, {dataValid_, lastUpdate_, alarmSeq_, rules_, thresholdResult_}};
    // Whether the last round reported the fuse rules: they are cleared once when the count changes.
    bool fuseRulesReported_ = false;

private:
    // Stored for a user-defined value the device marks as not provided.
    static constexpr float kNotProvided = -0.1f;

    void report_threshold_rules();
    bool read_currents(ByteReader& reader, std::uint8_t& count, void* values, std::uint8_t capacity,
                       const char* oversizeFormat);
    static const std::array<std::string, TeleDC::ALERT_M_SIZE()>& fuse_texts();
    // "DC_0" (voltage low), "DC_1" (voltage high), "DC_3" (a battery fuse).
    static const std::array<AlarmRule, 3>& threshold_rules();
};

template <class TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::InitV(VRTVDevice* parent, unsigned int dataId, const Json::Value& setting) {
    return core_.init(parent, dataId, setting);
}

template <class TeleDC, int RT_DC>
float PMBusPowerDC<TeleDC, RT_DC>::Get_Value(unsigned int, const std::string& name) const {
    ensure_fresh(dataValid_, lastUpdate_);
    if (name == "v") return core_.record.voltage;
    if (name == "i") return core_.record.current;
    throw std::out_of_range("数据未就绪");
}

// Reads a count and its currents; a count above capacity skips the values and keeps the
// stored ones. False when the block ends before the count or its values.
template <class TeleDC, int RT_DC>
bool PMBusPowerDC<TeleDC, RT_DC>::read_currents(ByteReader& reader, std::uint8_t& count, void* values,
                                                std::uint8_t capacity, const char* oversizeFormat) {
    if (!reader.u8(count)) return false;
    if (count > capacity) {
        InfoLog(oversizeFormat, dataId_, count, capacity);
        // Skipped, not read: a block that ends inside them fails at the next field.
        reader.skip(4 * count);
        return true;
    }
    return reader.bytes(values, 4 * count);
}

template <class TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_41(const unsigned char* block, int remaining) {
    static constexpr char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}";
    trace_dc_analog_block(block, remaining);
    ByteReader reader(block, remaining);
    if (!reader.f32(&core_.record.voltage) || !reader.f32(&core_.record.current) ||
        !read_currents(reader, core_.record.dc_m, core_.record.m_value, TeleDC::M_SIZE(),
                       "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}") ||
        !read_currents(reader, core_.record.dc_n, core_.record.n_value, TeleDC::N_SIZE(),
                       "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}") ||
        !reader.u8(core_.record.p_count)) {
        return refuse_overrun(*this, kOverflow, reader.needed(), remaining);
    }
    // Values beyond the record's room are passed over: the block ends where its last value does,
    // so the next unit is fed from its own block.
    if (core_.record.p_count > TeleDC::P_SIZE()) {
        InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}", dataId_,
                core_.record.p_count, TeleDC::P_SIZE());
    }
    const int kept = std::min<int>(core_.record.p_count, TeleDC::P_SIZE());
    for (int k = 0; k < kept; ++k) {
        if (!reader.analog(&core_.record.user_p[k], kNotProvided)) {
            return refuse_overrun(*this, kOverflow, reader.needed(), remaining);
        }
    }
    reader.skip(4 * (core_.record.p_count - kept));
    return used_or_overrun(*this, kOverflow, reader, remaining);
}

template <class TeleDC, int RT_DC>
int PMBusPowerDC<TeleDC, RT_DC>::parse42_44(const unsigned char* block, int remaining) {
    static constexpr char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}";
    ByteReader reader(block, remaining);
    if (!reader.u8(core_.record.voltage_state) || !reader.u8(core_.record.alert_m_count)) {
        return refuse_overrun(*this, kOverflow, reader.needed(), remaining);
    }
    const int fuses = core_.record.alert_m_count;
    const int storedFuses = fuses < TeleDC::ALERT_M_SIZE() ? fuses : TeleDC::ALERT_M_SIZE();
    if (!reader.bytes(core_.record.alert_m, storedFuses)) {
        return refuse_overrun(*this, kOverflow, reader.needed(), remaining);
    }
    reader.skip(fuses - storedFuses);
    if (!reader.u8(core_.record.alert_p_count)) return refuse_overrun(*this, kOverflow, reader.needed(), remaining);
    const int states = core_.record.alert_p_count;
    if (states > TeleDC::ALERT_P_SIZE()) {
        InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}", dataId_,
                core_.record.alert_p_count, TeleDC::ALERT_P_SIZE());
    }
    const int storedStates = states < TeleDC::ALERT_P_SIZE() ? states : TeleDC::ALERT_P_SIZE();
    if (!reader.bytes(core_.record.alert_p, storedStates)) {
        return refuse_overrun(*this, kOverflow, reader.needed(), remaining);
    }
    reader.skip(states - storedStates);
    return used_or_overrun(*this, kOverflow, reader, remaining);
}

template <class TeleDC, int RT_DC>
const std::array<std::string, TeleDC::ALERT_M_SIZE()>& PMBusPowerDC<TeleDC, RT_DC>::fuse_texts() {
    // Never destroyed: a host thread may still be in a round at exit.
    static const auto* texts = [] {
        auto* composed = new std::array<std::string, TeleDC::ALERT_M_SIZE()>;
        for (std::size_t k = 0; k < composed->size(); ++k) {
            (*composed)[k] = "直流" + std::to_string(k + 1) + "电池熔丝故障告警";
        }
        return composed;
    }();
    return *texts;
}

template <class TeleDC, int RT_DC>
const std::array<AlarmRule, 3>& PMBusPowerDC<TeleDC, RT_DC>::threshold_rules() {
    // Never destroyed: a host thread may still be in a round at exit.
    static const auto* rules = new std::array<AlarmRule, 3>{{
        {"DC_0", "06008", "输出电压过低告警", 3, 1, 0, "输出电压过低告警"},
        {"DC_1", "06009", "输出电压过高告警", 3, 2, 0, "输出电压过高告警"},
        {"DC_3", "06001", "电池熔丝故障告警", 1, 3},
    }};
    return *rules;
}

template <class TeleDC, int RT_DC>
void PMBusPowerDC<TeleDC, RT_DC>::report_threshold_rules() {
    const auto& rules = threshold_rules();
    report_alarm(*this, rules[0], rules[0].text, core_.record.voltage_state, alarmSeq_++);
    report_alarm(*this, rules[1], rules[1].text, core_.record.voltage_state, alarmSeq_++);
    // Fuse states are evaluated only when the unit reported all of them; when the count changes
    // away from that, every fuse rule is reported clear once, so none stays raised.
    const bool complete = core_.record.alert_m_count == TeleDC::ALERT_M_SIZE();
    if (!complete && !fuseRulesReported_) return;
    fuseRulesReported_ = complete;
    const auto& texts = fuse_texts();
    for (std::size_t k = 0; k < texts.size(); ++k) {
        if (complete) {
            report_alarm(*this, rules[2], texts[k], core_.record.alert_m[k], alarmSeq_++);
        } else {
            clear_alarm(*this, rules[2], texts[k], alarmSeq_++);
        }
    }
}
