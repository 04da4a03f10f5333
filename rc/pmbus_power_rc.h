#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/alarm_rule.h"
#include "bytes/byte_reader.h"
#include "common/unit_core.h"
#include "common/unit_support.h"
#include "host/vrt_sp_device.h"
#include "rc/module_texts.h"

// Module fault alarm, checked for every module at each round end: active while the module's
// fault byte is 1. Built on first use and never destroyed.
inline const AlarmRule& rc_fault_alarm() {
    static const AlarmRule* rule = new AlarmRule{"RC_0", "06024", "整流模块故障告警", 2, 1};
    return *rule;
}

// The rectifier group: one group record (TeleRC) and one record per module (TeleRCChannel),
// filled from the 0x41 answers and the two parameter answers, published under RT_RC.
template <class TeleRC, class TeleRCChannel, int RT_RC>
class PMBusPowerRC : public VRTSPDevice {
public:
    ~PMBusPowerRC() override = default;

    // The group answers no value name; a query only tells whether the data is ready.
    float Get_Value(unsigned int, const std::string&) const override;
    using VRTSPDevice::LoadFromCache;
    // Restores both records from a history image (group record, then every module).
    bool LoadFromCache(const unsigned char* data, int len) override {
        std::printf("rc data_len:%d vs %u\n", len, static_cast<unsigned>(sizeof(TeleRC)));
        // The second trace line shows what the image's group record announces, before its length is checked.
        return core_.restore(data, len, [len](const TeleRC& group) {
            std::printf("rc channelLen %u and %u left:%d\n", static_cast<unsigned>(sizeof(TeleRCChannel)),
                        static_cast<unsigned>(group.module_count), len - static_cast<int>(sizeof(TeleRC)));
            return group.module_count;
        });
    }
    void RoundDone() override {
        core_.complete_round(RT_RC, [this] { check_module_faults(); });
    }
    // The round now ending did not take the group's analog answer.
    void mark_round_stale() { core_.mark_round_stale(); }
    // Before the group is fed an answer, and when the answer is refused after all.
    void snapshot() { core_.snapshot(); }
    void roll_back() { core_.roll_back(); }
    bool InitV(VRTVDevice* parent, unsigned int dataId, const Json::Value& setting) override;

    // Each takes the INFO of its answer and returns the bytes consumed, or -1.
    virtual int parse41_41(const unsigned char* info, int len);
    virtual int parse41_43(const unsigned char* info, int len);
    virtual int parse41_44(const unsigned char* info, int len);
    virtual int parse40_46(const unsigned char* info, int len);
    virtual int parse42_46(const unsigned char* info, int len);
    // The model's own alarms, checked at each round end after the module fault alarms.
    virtual void DoImpCheckAlert() {}

protected:
    UnitCore<PMBusPowerRC, TeleRC, TeleRCChannel> core_{*this,
                                                        {dataValid_, lastUpdate_, alarmSeq_, rules_, thresholdResult_}};

private:
    static bool modules_fit(const unsigned char* info, int len, int offset, int modules, int fixed, int itemSize);
    void follow_module_count(std::uint8_t count);
    bool user_count_matches(ByteReader& in, std::uint8_t count, std::uint8_t expected, int itemSize,
                            const char* mismatchLine) const;
    void check_module_faults();

    ModuleTexts faultTexts_{"模块", "整流模块故障告警"};
    RaisedAlarms raisedFaults_;  // the modules whose fault alarm the rounds left raised
};

template <class TeleRC, class TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::InitV(VRTVDevice* parent, unsigned int dataId,
                                                       const Json::Value& setting) {
    return core_.init(parent, dataId, setting);
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
float PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::Get_Value(unsigned int, const std::string&) const {
    ensure_fresh(dataValid_, lastUpdate_);
    throw std::out_of_range("数据未就绪");
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_41(const unsigned char* info, int len) {
    static constexpr char kPMismatch[] =
        "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}";
    static constexpr char kChannelOverflow[] = "PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}";
    static constexpr char kReadOverflow[] = "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}";

    ByteReader in(info, len);
    in.skip(1);  // DATAFLAG: the power system device keeps it
    std::uint8_t count = 0;
    if (!in.f32(&core_.record.output_voltage) || !in.u8(count)) {
        return refuse_overrun(*this, kReadOverflow, in.needed(), len);
    }
    if (core_.items.empty()) {
        core_.record.module_count = count;
        core_.items.resize(count);
    } else if (count != core_.record.module_count) {
        // A module plugged in or pulled: taken when the answer holds exactly that many modules
        // (after DATAFLAG, group value and count: a value, P and P values of 4 bytes each).
        if (!modules_fit(info, len, 6, count, 4, 4)) return -1;
        follow_module_count(count);
    }
    for (TeleRCChannel& module : core_.items) {
        if (!in.f32(&module.output_current) || !in.u8(module.p41_41)) {
            return refuse_overrun(*this, kChannelOverflow, in.needed(), len);
        }
        if (!user_count_matches(in, module.p41_41, TeleRCChannel::P41_41_SIZE(), 4, kPMismatch)) continue;
        for (int i = 0; i < TeleRCChannel::P41_41_SIZE(); ++i) {
            // A value the module does not provide comes as four equal bytes and is kept as zero.
            if (!in.analog(&module.p41_41_value[i], 0.0f)) {
                return refuse_overrun(*this, kChannelOverflow, in.needed(), len);
            }
        }
    }
    return used_or_overrun(*this, kReadOverflow, in, len);
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_43(const unsigned char* info, int len) {
    static constexpr char kPMismatch[] =
        "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}";
    static constexpr char kReadOverflow[] = "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}";

    ByteReader in(info, len);
    in.skip(1);  // DATAFLAG
    std::uint8_t count = 0;
    if (!in.u8(count)) return refuse_overrun(*this, kReadOverflow, in.needed(), len);
    if (count > core_.items.size()) {
        // A module plugged in: 3 status bytes, P and P bytes each.
        if (!modules_fit(info, len, 2, count, 3, 1)) return -1;
        follow_module_count(count);
    }
    for (std::size_t i = 0; i < count; ++i) {
        TeleRCChannel& module = core_.items[i];
        if (!in.array(&module.status) || !in.u8(module.p41_43)) {
            return refuse_overrun(*this, kReadOverflow, in.needed(), len);
        }
        if (user_count_matches(in, module.p41_43, TeleRCChannel::P41_43_SIZE(), 1, kPMismatch) &&
            !in.bytes(module.p41_43_value, module.p41_43)) {
            return refuse_overrun(*this, kReadOverflow, in.needed(), len);
        }
    }
    return used_or_overrun(*this, kReadOverflow, in, len);
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse41_44(const unsigned char* info, int len) {
    static constexpr char kCountMismatch[] =
        "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not equal {} != {} ";
    static constexpr char kPMismatch[] =
        "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}";
    static constexpr char kReadOverflow[] = "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}";

    ByteReader in(info, len);
    in.skip(1);  // DATAFLAG
    std::uint8_t count = 0;
    if (!in.u8(count)) return refuse_overrun(*this, kReadOverflow, in.needed(), len);
    if (count > core_.items.size()) {
        // A module plugged in: a fault byte, P and P bytes each.
        if (!modules_fit(info, len, 2, count, 1, 1)) {
            InfoLog(kCountMismatch, DataId(), static_cast<int>(count), core_.record.module_count);
            return 0;
        }
        follow_module_count(count);
    }
    for (std::size_t i = 0; i < count; ++i) {
        TeleRCChannel& module = core_.items[i];
        if (!in.u8(module.fault) || !in.u8(module.p41_44)) {
            return refuse_overrun(*this, kReadOverflow, in.needed(), len);
        }
        if (user_count_matches(in, module.p41_44, TeleRCChannel::P41_44_SIZE(), 1, kPMismatch) &&
            !in.bytes(module.p41_44_value, module.p41_44)) {
            return refuse_overrun(*this, kReadOverflow, in.needed(), len);
        }
    }
    return used_or_overrun(*this, kReadOverflow, in, len);
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse40_46(const unsigned char* info, int len) {
    static constexpr char kReadOverflow[] = "PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}";

    ByteReader in(info, len);
    std::uint8_t count = 0;
    if (!in.array(&core_.record.ac_param) || !in.u8(count)) {
        return refuse_overrun(*this, kReadOverflow, in.needed(), len);
    }
    // The user-defined AC parameters are not kept: their announced length is counted, not read.
    return in.position() + 4 * count;
}

template <class TeleRC, class TeleRCChannel, int RT_RC>
int PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::parse42_46(const unsigned char* info, int len) {
    static constexpr char kPMismatch[] = "TXH21F:ProcotolError parse42_46 {} p:{} != {}";
    static constexpr char kReadOverflow[] = "PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}";

    ByteReader in(info, len);
    if (!in.array(&core_.record.dc_param) || !in.u8(core_.record.p42_46)) {
        return refuse_overrun(*this, kReadOverflow, in.needed(), len);
    }
    if (!user_count_matches(in, core_.record.p42_46, TeleRC::P42_46_NUMBER(), 4, kPMismatch)) return in.position();
    // A short answer fills the front of the parameters; the rest keeps what it held.
    const int available = std::min(static_cast<int>(sizeof core_.record.p42_46_value), len - in.position());
    in.bytes(core_.record.p42_46_value, available);
    return in.position();
}

// Whether the INFO holds, from `offset` to its end, exactly `modules` blocks of `fixed` bytes, a
// user-defined count and that many items of `itemSize` bytes.
template <class TeleRC, class TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::modules_fit(const unsigned char* info, int len, int offset,
                                                             int modules, int fixed, int itemSize) {
    ByteReader in(info, len);
    in.skip(offset);
    for (int i = 0; i < modules; ++i) {
        if (!in.skip_counted(fixed, itemSize)) return false;
    }
    return in.position() == len;
}

// A module plugged in or pulled.
template <class TeleRC, class TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::follow_module_count(std::uint8_t count) {
    core_.follow_count(&TeleRC::module_count, count, "PMBusPowerRC:{} module_count changed from {} to {}");
}

// True when a block announces the expected number of user-defined items; otherwise the
// mismatch is logged and the announced items are skipped unread.
template <class TeleRC, class TeleRCChannel, int RT_RC>
bool PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::user_count_matches(ByteReader& in, std::uint8_t count,
                                                                    std::uint8_t expected, int itemSize,
                                                                    const char* mismatchLine) const {
    if (count == expected) return true;
    InfoLog(mismatchLine, DataId(), count, expected);
    in.skip(count * itemSize);
    return false;
}

// Every module's fault alarm, then the clearing of those still raised for modules that left.
template <class TeleRC, class TeleRCChannel, int RT_RC>
void PMBusPowerRC<TeleRC, TeleRCChannel, RT_RC>::check_module_faults() {
    const AlarmRule& rule = rc_fault_alarm();
    for (std::size_t i = 0; i < core_.items.size(); ++i)
        raisedFaults_.note(i, 0, report_alarm(*this, rule, faultTexts_.of(i), core_.items[i].fault, alarmSeq_++));
    raisedFaults_.clear_gone(core_.items.size(), [this, &rule](std::size_t i, unsigned) {
        clear_alarm(*this, rule, faultTexts_.of(i), alarmSeq_++);
    });
}
