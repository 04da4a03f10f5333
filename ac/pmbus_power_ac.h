#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "ac/ac_alarm_rules.h"
#include "ac/ac_query.h"
#include "bytes/byte_reader.h"
#include "common/unit_core.h"
#include "common/unit_support.h"
#include "host/vrt_sp_device.h"

// An AC distribution unit: one unit record and one record per AC input channel. The power
// system device feeds it its portion of every 0x40 answer and completes its rounds; the unit
// publishes its history image (unit record, then the channel records) under RT_AC.
template <class TeleAC, class TeleACChannel, int RT_AC>
class PMBusPowerAC : public VRTSPDevice {
public:
    using VRTSPDevice::LoadFromCache;

    float Get_Value(unsigned int, const std::string& name) const override;
    // An image without channels is refused.
    bool LoadFromCache(const unsigned char* data, int len) override {
        return len > static_cast<int>(sizeof(TeleAC)) &&
               core_.restore(data, len, [](const TeleAC& cached) { return cached.channel_count; });
    }
    void RoundDone() override;
    // The round now ending did not take this unit's analog answer.
    void mark_round_stale() { core_.mark_round_stale(); }
    // Before the unit is fed its part of an answer, and when the answer is refused after all.
    void snapshot() { core_.snapshot(); }
    void roll_back() { core_.roll_back(); }
    bool InitV(VRTVDevice* parent, unsigned int dataId, const Json::Value& setting) override;

    virtual int parse40_41(const unsigned char* data, int len);
    virtual int parse40_43(const unsigned char* data, int len);
    virtual int parse40_44(const unsigned char* data, int len);
    virtual void DoImpCheckAlert() = 0;

protected:
    UnitCore<PMBusPowerAC, TeleAC, TeleACChannel> core_{*this,
                                                        {dataValid_, lastUpdate_, alarmSeq_, rules_, thresholdResult_}};

private:
    static constexpr float kVoltageNotProvided = 0.0f;
    static constexpr float kCurrentNotProvided = -0.1f;

    float channel_value(const std::string& name) const;
    bool read_channel_analog(ByteReader& in, TeleACChannel& channel) const;
    bool read_channel_alarms(ByteReader& in, TeleACChannel& channel) const;
    static bool analog_fits(const unsigned char* data, int len, int channels);
    void follow_channel_count(std::uint8_t count);

    void report_channel_alarms();
    void clear_gone_channel_alarms();
    void report_unit_alarms();

    AcChannelAlarmTexts alarmTexts_;
    // The channel rules each channel's last report left raised ("AC_0" .. "AC_10", bit k for rule k).
    RaisedAlarms raised_;
};

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::InitV(VRTVDevice* parent, unsigned int dataId,
                                                       const Json::Value& setting) {
    return core_.init(parent, dataId, setting);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Get_Value(unsigned int, const std::string& name) const {
    ensure_fresh(dataValid_, lastUpdate_);
    if (name == "ia") return core_.record.ia;
    if (name == "ib") return core_.record.ib;
    if (name == "ic") return core_.record.ic;
    if (name == "ia_alert") return core_.record.ia_alert;
    if (name == "ib_alert") return core_.record.ib_alert;
    if (name == "ic_alert") return core_.record.ic_alert;
    return channel_value(name);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::channel_value(const std::string& name) const {
    const AcChannelQuery query = match_ac_channel_query(name);
    if (!query.matched) throw std::out_of_range("数据未提供");
    if (query.index >= core_.items.size()) throw std::out_of_range("通道参数越界");
    if (name.size() > kAcQueryNameMax) throw std::out_of_range("数据未提供");
    const TeleACChannel& channel = core_.items[query.index];
    switch (query.field) {
        case 'a': return channel.a;
        case 'b': return channel.b;
        case 'c': return channel.c;
        case 'f': return channel.f;
        default: throw std::out_of_range("数据未提供");
    }
}

// Whether a 40/41 portion holds `channels` channel blocks and the three currents.
template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::analog_fits(const unsigned char* data, int len, int channels) {
    ByteReader in(data, len);
    in.skip(1);
    for (int k = 0; k < channels; ++k) {
        if (!in.skip_counted(4 * 4, 4)) return false;
    }
    in.skip(3 * 4);
    return !in.overran();
}

// The unit was reconfigured (or the restored image came from another one).
template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::follow_channel_count(std::uint8_t count) {
    core_.follow_count(&TeleAC::channel_count, count, "PMBusPowerAC:{} channel_count changed from {} to {}");
}

// The first answer that arrives while no channel is known fixes the channel count. A later
// answer with another count is taken when it holds that many channels: the list follows it.
// Values are stored as they are read.
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_41(const unsigned char* data, int len) {
    static constexpr char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}";
    ByteReader in(data, len);
    std::uint8_t count = 0;
    if (!in.u8(count)) return refuse_overrun(*this, kOverflow, in.needed(), len);
    if (core_.items.empty()) {
        core_.record.channel_count = count;
        core_.items.assign(count, TeleACChannel{});
    } else if (core_.record.channel_count != count) {
        if (!analog_fits(data, len, count)) return -1;
        follow_channel_count(count);
    }
    for (TeleACChannel& channel : core_.items) {
        if (!read_channel_analog(in, channel)) return refuse_overrun(*this, kOverflow, in.needed(), len);
    }
    in.analog(&core_.record.ia, kCurrentNotProvided);
    in.analog(&core_.record.ib, kCurrentNotProvided);
    in.analog(&core_.record.ic, kCurrentNotProvided);
    if (in.overran()) return refuse_overrun(*this, kOverflow, in.needed(), len);
    return in.position();
}

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::read_channel_analog(ByteReader& in, TeleACChannel& channel) const {
    in.analog(&channel.a, kVoltageNotProvided);
    in.analog(&channel.b, kVoltageNotProvided);
    in.analog(&channel.c, kVoltageNotProvided);
    in.analog(&channel.f, kVoltageNotProvided);
    if (in.overran()) return false;
    std::printf("a:%g b:%g c:%g f:%g\n", static_cast<double>(channel.a), static_cast<double>(channel.b),
                static_cast<double>(channel.c), static_cast<double>(channel.f));
    if (!in.u8(channel.p40_41)) return false;
    if (channel.p40_41 != TeleACChannel::P40_41_SIZE()) {
        InfoLog("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", dataId_, channel.p40_41,
                TeleACChannel::P40_41_SIZE());
        in.skip(4 * channel.p40_41);
    }
    // A matching count leaves nothing to read: the record keeps no user-defined values.
    return true;
}

template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_43(const unsigned char* data, int len) {
    static constexpr char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}";
    ByteReader in(data, len);
    std::uint8_t count = 0;
    if (!in.u8(count)) return refuse_overrun(*this, kOverflow, in.needed(), len);
    // More states than the record holds: the first ones are kept and the answer is taken. The
    // record counts what it holds; the log line has the number the device sent.
    if (count > TeleAC::AIRLOCK_MAX()) {
        InfoLog("ProcotolError %u read 40_43 m is %d max %d", dataId_, static_cast<int>(count), TeleAC::AIRLOCK_MAX());
    }
    const std::uint8_t kept = std::min(count, TeleAC::AIRLOCK_MAX());
    core_.record.airlock_count = kept;
    if (!in.bytes(core_.record.airlock, kept)) return refuse_overrun(*this, kOverflow, in.needed(), len);
    in.skip(count - kept);
    if (!in.u8(core_.record.p40_43)) return refuse_overrun(*this, kOverflow, in.needed(), len);
    if (core_.record.p40_43 != TeleAC::P40_43_SIZE()) {
        InfoLog("PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}", dataId_, core_.record.p40_43,
                TeleAC::P40_43_SIZE());
        // Counted, not read: the caller's length test catches a portion that ends early.
        return in.position() + core_.record.p40_43;
    }
    return in.position();
}

// The count byte is not read: the channel blocks follow the unit's channel count, which only the
// analog answer (or a cache restore) sets.
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_44(const unsigned char* data, int len) {
    static constexpr char kOverflow[] = "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}";
    ByteReader in(data, len);
    in.skip(1);
    for (TeleACChannel& channel : core_.items) {
        if (!read_channel_alarms(in, channel)) return refuse_overrun(*this, kOverflow, in.needed(), len);
    }
    in.u8(core_.record.ia_alert);
    in.u8(core_.record.ib_alert);
    in.u8(core_.record.ic_alert);
    if (in.overran()) return refuse_overrun(*this, kOverflow, in.needed(), len);
    return in.position();
}

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::read_channel_alarms(ByteReader& in, TeleACChannel& channel) const {
    std::uint8_t further = 0;
    in.u8(channel.a_alert);
    in.u8(channel.b_alert);
    in.u8(channel.c_alert);
    in.u8(channel.f_alert);
    if (!in.u8(further)) return false;
    if (further != 0) {
        InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 m is {}", dataId_, static_cast<int>(further));
        in.skip(further);
    }
    if (!in.u8(channel.p40_44)) return false;
    if (channel.p40_44 != TeleACChannel::P40_44_SIZE()) {
        InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}", dataId_, channel.p40_44,
                TeleACChannel::P40_44_SIZE());
        in.skip(channel.p40_44);
        return true;
    }
    return in.bytes(channel.p40_44_value, channel.p40_44);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::RoundDone() {
    core_.complete_round(RT_AC, [this] {
        // Room for the round's checks at once: a first round over 255 channels would otherwise
        // move the list a dozen times while it grows.
        rules_.reserve(rules_.size() + core_.items.size() * ac_channel_rules().size() + ac_unit_rules().size());
        report_channel_alarms();
        clear_gone_channel_alarms();
        report_unit_alarms();
    });
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::report_channel_alarms() {
    alarmTexts_.cover(core_.items.size());
    const auto& rules = ac_channel_rules();
    for (std::size_t position = 0; position < core_.items.size(); ++position) {
        const TeleACChannel& channel = core_.items[position];
        const std::uint8_t states[kAcChannelInputs] = {channel.a_alert, channel.b_alert, channel.c_alert,
                                                       channel.f_alert};
        for (unsigned k = 0; k < rules.size(); ++k) {
            const AlarmRule& rule = rules[k];
            raised_.note(
                position, k,
                report_alarm(*this, rule, alarmTexts_.text(position, rule.input), states[rule.input], alarmSeq_++));
        }
    }
}

// Channels the unit no longer has: each of their alarms still raised is cleared, in channel order.
template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::clear_gone_channel_alarms() {
    raised_.clear_gone(core_.items.size(), [this](std::size_t position, unsigned k) {
        const AlarmRule& rule = ac_channel_rules()[k];
        clear_alarm(*this, rule, alarmTexts_.text(position, rule.input), alarmSeq_++);
    });
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::report_unit_alarms() {
    const std::uint8_t states[] = {core_.record.ia_alert, core_.record.ib_alert, core_.record.ic_alert};
    for (const AlarmRule& rule : ac_unit_rules()) report_alarm(*this, rule, rule.text, states[rule.input], alarmSeq_++);
}
