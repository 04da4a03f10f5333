#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "ac/ac_alarm_rules.h"
#include "ac/ac_query.h"
#include "common/byte_reader.h"
#include "common/history_image.h"
#include "common/round_work.h"
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
    bool LoadFromCache(const unsigned char* data, int len) override;
    void RoundDone() override;
    bool InitV(VRTVDevice* parent, unsigned int dataId, const Json::Value& setting) override;

    virtual int parse40_41(const unsigned char* data, int len);
    virtual int parse40_43(const unsigned char* data, int len);
    virtual int parse40_44(const unsigned char* data, int len);
    virtual void DoImpCheckAlert() = 0;

    // The round now ending did not take this unit's analog answer.
    void mark_round_stale() { freshness_.mark_stale(); }

protected:
    TeleAC tele_{};
    std::vector<TeleACChannel> channels_;
    float diffV_ = 20.0f;
    float diffI_ = 20.0f;
    HistoryImage history_;
    RoundWork roundWork_;
    // Whether the last round moved a voltage by diffV_ or a current by diffI_ (or first made
    // the data valid). Nothing acts on it yet.
    bool changed_ = false;
    RoundFreshness freshness_;

private:
    static constexpr float VOLTAGE_NOT_PROVIDED = 0.0f;
    static constexpr float CURRENT_NOT_PROVIDED = -0.1f;

    static int image_size(std::size_t channels) {
        return static_cast<int>(sizeof(TeleAC) + channels * sizeof(TeleACChannel));
    }
    static bool moved(float before, float now, float limit) { return std::fabs(before - now) >= limit; }

    float channel_value(const std::string& name) const;
    int overflow(const char* format, int needed, int len) const;
    bool read_channel_analog(ByteReader& in, TeleACChannel& channel) const;
    bool read_channel_alarms(ByteReader& in, TeleACChannel& channel) const;
    static bool analog_fits(const unsigned char* data, int len, int channels);
    static bool alarms_fit(const unsigned char* data, int len, int channels);
    void follow_channel_count(std::uint8_t count);

    bool exceeds_change_limits() const;
    void report(const AcAlarmRule& rule, const std::string& text, std::uint8_t state);
    void report_channel_alarms();
    void report_unit_alarms();

    AcChannelAlarmTexts alarmTexts_;
};

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::InitV(VRTVDevice* parent, unsigned int dataId,
                                                        const Json::Value& setting) {
    tele_.device_id = dataId;
    read_change_limits(setting, diffV_, diffI_);
    return VRTSPDevice::InitV(parent, dataId, setting);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Get_Value(unsigned int, const std::string& name) const {
    ensure_fresh(dataValid_, lastUpdate_);
    if (name == "ia") return tele_.ia;
    if (name == "ib") return tele_.ib;
    if (name == "ic") return tele_.ic;
    if (name == "ia_alert") return tele_.ia_alert;
    if (name == "ib_alert") return tele_.ib_alert;
    if (name == "ic_alert") return tele_.ic_alert;
    return channel_value(name);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::channel_value(const std::string& name) const {
    const AcChannelQuery query = match_ac_channel_query(name);
    if (!query.matched) throw std::out_of_range("数据未提供");
    if (query.index >= channels_.size()) throw std::out_of_range("通道参数越界");
    if (name.size() > kAcQueryNameMax) throw std::out_of_range("数据未提供");
    const TeleACChannel& channel = channels_[query.index];
    switch (query.field) {
        case 'a': return channel.a;
        case 'b': return channel.b;
        case 'c': return channel.c;
        case 'f': return channel.f;
        default: throw std::out_of_range("数据未提供");
    }
}

// A refused image changes nothing: its length is checked against its own channel count
// before anything is copied.
template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::LoadFromCache(const unsigned char* data, int len) {
    ByteReader in(data, len);
    TeleAC cached{};
    if (len <= image_size(0) || !in.bytes(&cached, sizeof cached)) return false;
    if (len != image_size(cached.channel_count)) return false;
    tele_ = cached;
    channels_.resize(cached.channel_count);
    in.bytes(channels_.data(), len - image_size(0));
    dataValid_ = true;
    lastUpdate_ = boost::posix_time::second_clock::local_time();
    return true;
}

template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::overflow(const char* format, int needed, int len) const {
    InfoLog(format, dataId_, needed, len);
    return -1;
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
    return in.position() <= in.length();
}

// Whether a 40/44 portion holds `channels` channel blocks and the three current states.
template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::alarms_fit(const unsigned char* data, int len, int channels) {
    ByteReader in(data, len);
    in.skip(1);
    for (int k = 0; k < channels; ++k) {
        if (!in.skip_counted(4, 1) || !in.skip_counted(0, 1)) return false;
    }
    in.skip(3);
    return in.position() <= in.length();
}

// The unit was reconfigured (or the restored image came from another one): its channel list
// follows the device, new channels zero-filled, removed ones dropped.
template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::follow_channel_count(std::uint8_t count) {
    InfoLog("PMBusPowerAC:{} channel_count changed from {} to {}", dataId_,
            static_cast<unsigned int>(tele_.channel_count), static_cast<unsigned int>(count));
    tele_.channel_count = count;
    channels_.resize(count);
}

// The first answer that arrives while no channel is known fixes the channel count. A later
// answer with another count is taken when it holds that many channels: the list follows it.
// Values are stored as they are read.
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_41(const unsigned char* data, int len) {
    static constexpr char overflowText[] = "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}";
    ByteReader in(data, len);
    std::uint8_t count = 0;
    if (!in.u8(count)) return overflow(overflowText, in.needed(), len);
    if (channels_.empty()) {
        tele_.channel_count = count;
        channels_.assign(count, TeleACChannel{});
    } else if (tele_.channel_count != count) {
        if (!analog_fits(data, len, count)) return -1;
        follow_channel_count(count);
    }
    for (TeleACChannel& channel : channels_) {
        if (!read_channel_analog(in, channel)) return overflow(overflowText, in.needed(), len);
    }
    if (!in.analog(&tele_.ia, CURRENT_NOT_PROVIDED) || !in.analog(&tele_.ib, CURRENT_NOT_PROVIDED) ||
        !in.analog(&tele_.ic, CURRENT_NOT_PROVIDED)) {
        return overflow(overflowText, in.needed(), len);
    }
    return in.position();
}

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::read_channel_analog(ByteReader& in, TeleACChannel& channel) const {
    if (!in.analog(&channel.a, VOLTAGE_NOT_PROVIDED) || !in.analog(&channel.b, VOLTAGE_NOT_PROVIDED) ||
        !in.analog(&channel.c, VOLTAGE_NOT_PROVIDED) || !in.analog(&channel.f, VOLTAGE_NOT_PROVIDED)) {
        return false;
    }
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
    static constexpr char overflowText[] = "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}";
    ByteReader in(data, len);
    if (!in.u8(tele_.airlock_count)) return overflow(overflowText, in.needed(), len);
    const int count = tele_.airlock_count;
    // More states than the record holds: the first ones are kept and the answer is taken.
    if (count > TeleAC::AIRLOCK_MAX()) {
        InfoLog("ProcotolError %u read 40_43 m is %d max %d", dataId_, count, TeleAC::AIRLOCK_MAX());
    }
    const int kept = std::min<int>(count, TeleAC::AIRLOCK_MAX());
    if (!in.bytes(tele_.airlock, kept)) return overflow(overflowText, in.needed(), len);
    in.skip(count - kept);
    if (!in.u8(tele_.p40_43)) return overflow(overflowText, in.needed(), len);
    if (tele_.p40_43 != TeleAC::P40_43_SIZE()) {
        InfoLog("PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}", dataId_, tele_.p40_43,
                TeleAC::P40_43_SIZE());
        // Counted, not read: the caller's length test catches a portion that ends early.
        return in.position() + tele_.p40_43;
    }
    return in.position();
}

// The channel blocks follow the established channel count, unless the answer announces another
// one and holds that many blocks: then the list follows it.
template <class TeleAC, class TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_44(const unsigned char* data, int len) {
    static constexpr char overflowText[] = "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}";
    ByteReader in(data, len);
    std::uint8_t announcedCount = 0;
    if (!in.u8(announcedCount)) return overflow(overflowText, in.needed(), len);
    if (announcedCount != tele_.channel_count && alarms_fit(data, len, announcedCount)) {
        follow_channel_count(announcedCount);
    }
    for (TeleACChannel& channel : channels_) {
        if (!read_channel_alarms(in, channel)) return overflow(overflowText, in.needed(), len);
    }
    if (!in.u8(tele_.ia_alert) || !in.u8(tele_.ib_alert) || !in.u8(tele_.ic_alert)) {
        return overflow(overflowText, in.needed(), len);
    }
    return in.position();
}

template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::read_channel_alarms(ByteReader& in, TeleACChannel& channel) const {
    std::uint8_t further = 0;
    if (!in.u8(channel.a_alert) || !in.u8(channel.b_alert) || !in.u8(channel.c_alert) || !in.u8(channel.f_alert) ||
        !in.u8(further)) {
        return false;
    }
    if (further != 0) {
        InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 m is {}", dataId_, static_cast<int>(further));
        in.skip(further);
    }
    if (!in.u8(channel.p40_44)) return false;
    if (channel.p40_44 != TeleACChannel::p40_44_SIZE()) {
        InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}", dataId_, channel.p40_44,
                TeleACChannel::p40_44_SIZE());
        in.skip(channel.p40_44);
        return true;
    }
    return in.bytes(channel.p40_44_value, channel.p40_44);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::RoundDone() {
    const bool fresh = freshness_.take();
    if (fresh) {
        lastUpdate_ = boost::posix_time::second_clock::local_time();
        tele_.update_time = current_ttime();
    }
    history_.fit(HistoryImage::size_for<TeleAC>(channels_));
    changed_ = !dataValid_ || exceeds_change_limits();
    history_.write(tele_, channels_);
    if (fresh) dataValid_ = true;
    SendSP(RT_AC, history_.data(), history_.size(), false);
    alarmSeq_ = 1;
    // Room for the round's checks at once: a first round over 255 channels would otherwise move
    // the list a dozen times while it grows.
    rules_.reserve(rules_.size() + channels_.size() * ac_channel_rules().size() + ac_unit_rules().size());
    report_channel_alarms();
    report_unit_alarms();
    DoImpCheckAlert();
    roundWork_.queue(*this, rules_, thresholdResult_, history_.data(), history_.size());
}

// Compares the image of the last round with the records now.
template <class TeleAC, class TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::exceeds_change_limits() const {
    ByteReader image(history_.data(), static_cast<int>(history_.size()));
    TeleAC unit{};
    image.bytes(&unit, sizeof unit);
    if (moved(unit.ia, tele_.ia, diffI_) || moved(unit.ib, tele_.ib, diffI_) || moved(unit.ic, tele_.ic, diffI_)) {
        return true;
    }
    for (const TeleACChannel& now : channels_) {
        TeleACChannel before{};
        image.bytes(&before, sizeof before);
        if (moved(before.a, now.a, diffV_) || moved(before.b, now.b, diffV_) || moved(before.c, now.c, diffV_)) {
            return true;
        }
    }
    return false;
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::report(const AcAlarmRule& rule, const std::string& text,
                                                         std::uint8_t state) {
    CheckThresholdBool(rule.level, rule.key, rule.code, rule.name, text, state == rule.state, alarmSeq_++);
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::report_channel_alarms() {
    alarmTexts_.cover(channels_.size());
    for (std::size_t position = 0; position < channels_.size(); ++position) {
        const TeleACChannel& channel = channels_[position];
        const std::uint8_t states[AC_CHANNEL_INPUTS] = {channel.a_alert, channel.b_alert, channel.c_alert,
                                                        channel.f_alert};
        for (const AcAlarmRule& rule : ac_channel_rules()) {
            report(rule, alarmTexts_.text(position, rule.input), states[rule.input]);
        }
    }
}

template <class TeleAC, class TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::report_unit_alarms() {
    const std::uint8_t states[] = {tele_.ia_alert, tele_.ib_alert, tele_.ic_alert};
    for (const AcAlarmRule& rule : ac_unit_rules()) report(rule, ac_unit_alarm_text(), states[rule.input]);
}
