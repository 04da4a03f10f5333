#pragma once
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/byte_reader.h"
#include "common/unit_support.h"
#include "host/json.h"
#include "host/pmbus_protocol.h"

// Pause in microseconds before each answer is handled; a build that must not wait sets it to 0.
#ifndef KTR40E_ANSWER_PAUSE_US
#define KTR40E_ANSWER_PAUSE_US 20000
#endif

namespace pmbus_power {

// Steps of the command cycle. 10 to 13 are not used.
enum Step : std::int32_t {
    kAcAnalog = 0,
    kAcStatus = 1,
    kAcAlarm = 2,
    kAcParameters = 3,
    kRcAnalog = 4,
    kRcStatus = 5,
    kRcAlarm = 6,
    kDcAnalog = 7,
    kDcAlarm = 8,
    kDcParameters = 9,
    kModel = 14,
};

enum class InfoRule : std::uint8_t { None, Group, GroupUnderV21 };

// One request of the cycle, and what the device reads of its answer itself.
struct Command {
    std::int32_t step;
    std::uint8_t cid1;
    std::uint8_t cid2;
    InfoRule info;
    int headBytes;          // INFO bytes the device reads before the units see the answer
    const char* shortLog;   // logged when the answer holds fewer than headBytes
    const char* name;       // CID1_CID2, as log lines name the answer
};

inline constexpr Command kCommands[] = {
    {kModel, 0x40, 0x51, InfoRule::None, 0, nullptr, "40_51"},
    {kAcAnalog, 0x40, 0x41, InfoRule::Group, 2, "PMBusPower:ProcotolError {} read 40_41 info length is {}, needed {}",
     "40_41"},
    {kAcStatus, 0x40, 0x43, InfoRule::Group, 0, nullptr, "40_43"},
    {kAcAlarm, 0x40, 0x44, InfoRule::Group, 0, nullptr, "40_44"},
    {kRcAnalog, 0x41, 0x41, InfoRule::None, 1, "PMBusPower:ProcotolError {} read 41_41 info length is {}, needed {}",
     "41_41"},
    {kRcStatus, 0x41, 0x43, InfoRule::None, 1, "PMBusPower:ProcotolError {} read 41_43 info length is {}, needed {}",
     "41_43"},
    {kRcAlarm, 0x41, 0x44, InfoRule::None, 1, "PMBusPower:ProcotolError {} read 41_44 info length is {}, needed {}",
     "41_44"},
    {kDcAnalog, 0x42, 0x41, InfoRule::GroupUnderV21, 2,
     "PMBusPower:ProcotolError {} read 42_41 info length is {}, needed {}", "42_41"},
    {kDcAlarm, 0x42, 0x44, InfoRule::GroupUnderV21, 2,
     "PMBusPower:ProcotolError {} read 42_44 info length is {}, needed {}", "42_44"},
    {kAcParameters, 0x40, 0x46, InfoRule::None, 0, nullptr, "40_46"},
    {kDcParameters, 0x42, 0x46, InfoRule::None, 0, nullptr, "42_46"},
};

// Polls in a row whose answer to one step is refused before the round goes on without that step.
inline constexpr int kRefusalsBeforeSkip = 3;

inline const Command* command_for(std::int32_t step) {
    for (const Command& command : kCommands)
        if (command.step == step) return &command;
    return nullptr;
}

// DATAFLAG bits of an analog answer.
inline constexpr std::uint8_t kAlarmChanged = 0x01;
inline constexpr std::uint8_t kStatusChanged = 0x10;

inline constexpr int kModelTextSize = 20;
inline constexpr std::uint8_t kProtocolV21 = 0x21;

// A decoded answer as process_payload sees it.
struct Answer {
    std::uint8_t cid1 = 0;
    const unsigned char* info = nullptr;
    int len = 0;  // INFO bytes: LENID / 2

    // The units' view of INFO from `offset` on. Past the end a unit gets the end of INFO and a
    // count of zero or less, so it can read nothing.
    const unsigned char* at(std::int64_t offset) const { return info + std::min<std::int64_t>(offset, len); }
    int remaining(std::int64_t offset) const {
        return static_cast<int>(std::max<std::int64_t>(len - offset, INT_MIN));
    }
};

// DATAFLAG and unit count: the first two INFO bytes (zero where the answer is shorter).
struct Head {
    std::uint8_t flag = 0;
    std::uint8_t count = 0;
};

inline Answer read_answer(const unsigned char* payload) {
    constexpr int kHeaderSize = 6;
    ByteReader header(payload, kHeaderSize);
    Answer answer;
    std::uint8_t lenLow = 0;
    std::uint8_t lenHigh = 0;
    header.skip(2);
    header.u8(answer.cid1);
    header.skip(1);
    header.u8(lenLow);
    header.u8(lenHigh);
    answer.len = (lenLow | (lenHigh << 8)) / 2;
    answer.info = payload + kHeaderSize;
    return answer;
}

inline Head read_head(const Answer& answer) {
    ByteReader reader(answer.info, answer.len);
    Head head;
    reader.u8(head.flag);
    reader.u8(head.count);
    return head;
}

// The model text without the blanks and NUL bytes devices pad it with.
inline std::string_view trim_padding(const std::string& text) {
    const std::string_view view(text);
    const std::size_t last = view.find_last_not_of(std::string_view(" \0", 2));
    return last == std::string_view::npos ? std::string_view() : view.substr(0, last + 1);
}

}  // namespace pmbus_power

// The power system device: owns the serial conversation, creates its AC units, DC units and
// rectifier group from the settings, and routes every answer of a polling round to them.
template <class AC, class DC, class RC>
class PMBusPower : public PMBusProtocol {
public:
    explicit PMBusPower(std::vector<std::string> supportedModels) : supportedModels_(std::move(supportedModels)) {}

    bool InitSetting(const Json::Value& settings) override {
        if (!PMBusProtocol::InitSetting(settings)) return false;
        const Json::Value& acSetting = settings["acSetting"];
        if (acSetting.isArray()) {
            for (Json::ArrayIndex i = 0; i < acSetting.size(); ++i)
                acUnits_.push_back(make_unit(std::make_shared<AC>(), acSetting[i]));
        }
        const Json::Value& dcSetting = settings["dcSetting"];
        if (dcSetting.isArray()) {
            for (Json::ArrayIndex i = 0; i < dcSetting.size(); ++i)
                dcUnits_.push_back(make_unit(std::make_shared<DC>(detectedModel_), dcSetting[i]));
        }
        const Json::Value& rcSetting = settings["rcSetting"];
        if (rcSetting.isNull()) return false;
        rcUnit_ = std::make_shared<RC>();
        rcUnit_->InitV(this, dataId_, rcSetting);
        return true;
    }

    std::shared_ptr<VRTVDevice> GetChildVDevice(unsigned int id) override {
        if (std::shared_ptr<VRTVDevice> unit = find_unit(acUnits_, id)) return unit;
        return find_unit(dcUnits_, id);
    }

    std::vector<std::shared_ptr<VRTVDevice>> GetAllChildVDevices() override {
        std::vector<std::shared_ptr<VRTVDevice>> children(acUnits_.begin(), acUnits_.end());
        children.insert(children.end(), dcUnits_.begin(), dcUnits_.end());
        children.push_back(rcUnit_);
        return children;
    }

    using PMBusProtocol::LoadFromCache;
    bool LoadFromCache(const unsigned char*, int) override { return true; }

    bool RefreshStatus() override {
        if (!VRTSPDevice::RefreshStatus()) return false;
        // Without a rectifier group no round can run; such a device is not polled at all.
        if (!rcUnit_) return false;
        if (too_recent(age_seconds(lastUpdate_)) && !modelCheckPending_) {
            portCounter_ = 0;
            return false;
        }
        if (modelCheckPending_) return send(pmbus_power::kModel);
        if (step_ == pmbus_power::kAcAnalog) return send(first_step());
        // A lost answer is asked for again, the parameter requests included, so the cycle never stops.
        if (step_ >= pmbus_power::kAcStatus && step_ <= pmbus_power::kDcParameters) return send(step_);
        return true;
    }

    bool process_payload() override {
        if (KTR40E_ANSWER_PAUSE_US > 0) usleep(KTR40E_ANSWER_PAUSE_US);
        const pmbus_power::Command* command = pmbus_power::command_for(step_);
        if (command == nullptr) return true;
        progressed_ = false;
        answeredSinceSend_ = true;
        const bool result = take(*command, pmbus_power::read_answer(payload_));
        if (progressed_) {
            refusals_ = 0;
            return result;
        }
        return refused(*command, result);
    }

    // Under 2 s since the last update no round starts. A clock that stepped back leaves the last
    // update ahead of it: that is old enough, and the next round stamps everything anew.
    static bool too_recent(std::int64_t ageSeconds) { return ageSeconds >= 0 && ageSeconds < 2; }

protected:
    static constexpr unsigned char commandGroup_ = 0xFF;

    std::vector<std::shared_ptr<AC>> acUnits_;
    std::vector<std::shared_ptr<DC>> dcUnits_;
    std::shared_ptr<RC> rcUnit_;
    std::uint8_t acDataFlag_ = 0;
    std::uint8_t rcDataFlag_ = 0;
    bool modelCheckPending_ = true;
    std::string detectedModel_;
    std::vector<std::string> supportedModels_;

private:
    bool progressed_ = false;  // the answer being handled moved the cycle on
    int refusals_ = 0;         // polls in a row whose answer to the current step was refused
    bool askedSinceRefusal_ = false;  // the step was sent since the last refusal counted
    bool answeredSinceSend_ = true;   // an answer came in since the last request was sent
    // Whether this round took the analog answer of the AC units, the rectifier group, the DC units.
    bool acFresh_ = false;
    bool rcFresh_ = false;
    bool dcFresh_ = false;

    template <class Unit>
    std::shared_ptr<Unit> make_unit(std::shared_ptr<Unit> unit, const Json::Value& setting) {
        unit->InitV(this, setting["data_id"].asUInt(), setting);
        return unit;
    }

    template <class Unit>
    static std::shared_ptr<VRTVDevice> find_unit(const std::vector<std::shared_ptr<Unit>>& units, unsigned int id) {
        for (const std::shared_ptr<Unit>& unit : units)
            if (unit->DataId() == id) return unit;
        return {};
    }

    pmbus_power::Step first_step() const { return acUnits_.empty() ? pmbus_power::kRcAnalog : pmbus_power::kAcAnalog; }

    bool send(std::int32_t step) {
        const pmbus_power::Command* command = pmbus_power::command_for(step);
        step_ = step;
        progressed_ = true;
        askedSinceRefusal_ = true;
        // A request that went unanswered breaks a run of refusals: the answers that follow it may
        // be late ones to earlier requests, which says nothing about this step.
        if (!answeredSinceSend_) refusals_ = 0;
        answeredSinceSend_ = false;
        const bool withGroup = command->info == pmbus_power::InfoRule::Group ||
                               (command->info == pmbus_power::InfoRule::GroupUnderV21 &&
                                protocolVersion_ == pmbus_power::kProtocolV21);
        if (withGroup) {
            write_pmbus_cmd(command->cid1, command->cid2, &commandGroup_, 1);
        } else {
            write_pmbus_cmd(command->cid1, command->cid2);
        }
        return true;
    }

    // An answer that cannot be used: the step stays and a later poll asks again. An AC analog
    // answer also ends the exchange.
    bool drop_answer() {
        if (step_ != pmbus_power::kAcAnalog) return true;
        Reset();
        return false;
    }

    bool take(const pmbus_power::Command& command, const pmbus_power::Answer& answer) {
        if (answer.cid1 != command.cid1) return drop_answer();
        if (answer.len < command.headBytes) {
            InfoLog(command.shortLog, dataId_, answer.len, command.headBytes);
            return drop_answer();
        }
        return handle(answer);
    }

    // The answer did not move the cycle on. Whatever the reason, a step refused on every poll
    // must not stop the whole power system: after the third poll in a row whose answer was
    // refused the round goes on as if the answer had been skipped. Further answers refused before
    // the step is asked again (late answers to earlier requests) count once with the poll, and a
    // poll left without any answer starts the count again.
    bool refused(const pmbus_power::Command& command, bool result) {
        if (!std::exchange(askedSinceRefusal_, false)) return result;
        if (++refusals_ < pmbus_power::kRefusalsBeforeSkip) return result;
        refusals_ = 0;
        InfoLog("PMBusPower:ProcotolError {} answer {} refused {} times in a row, going on without it", dataId_,
                command.name, pmbus_power::kRefusalsBeforeSkip);
        return go_on_after(command.step);
    }

    // The request that follows `step` once its answer has been taken, or skipped.
    bool go_on_after(std::int32_t step) {
        using namespace pmbus_power;
        switch (step) {
            case kModel:
                modelCheckPending_ = false;
                return send(first_step());
            case kAcAnalog:
                if (wanted(acDataFlag_, kStatusChanged)) return send(kAcStatus);
                return go_on_after(kAcStatus);
            case kAcStatus: return send(wanted(acDataFlag_, kAlarmChanged) ? kAcAlarm : kRcAnalog);
            case kAcAlarm: return send(kRcAnalog);
            case kRcAnalog:
                if (wanted(rcDataFlag_, kStatusChanged)) return send(kRcStatus);
                return go_on_after(kRcStatus);
            case kRcStatus:
                if (wanted(rcDataFlag_, kAlarmChanged)) return send(kRcAlarm);
                return leave_rectifiers();
            case kRcAlarm: return leave_rectifiers();
            // Without the analog answer's DATAFLAG the alarm states are asked for.
            case kDcAnalog: return send(kDcAlarm);
            case kDcAlarm: return send(acUnits_.empty() ? kDcParameters : kAcParameters);
            case kAcParameters: return send(kDcParameters);
            case kDcParameters: return end_round();
            default: return true;
        }
    }

    // While the device holds no valid data every optional request is made.
    bool wanted(std::uint8_t flag, std::uint8_t bits) const { return !dataValid_ || (flag & bits) != 0; }

    bool handle(const pmbus_power::Answer& answer) {
        switch (step_) {
            case pmbus_power::kModel: return on_model(answer);
            case pmbus_power::kAcAnalog: return on_ac_analog(answer);
            case pmbus_power::kAcStatus: return on_ac_status(answer);
            case pmbus_power::kAcAlarm: return on_ac_alarm(answer);
            case pmbus_power::kRcAnalog: return on_rc_analog(answer);
            case pmbus_power::kRcStatus: return on_rc_status(answer);
            case pmbus_power::kRcAlarm: return on_rc_alarm(answer);
            case pmbus_power::kDcAnalog: return on_dc_analog(answer);
            case pmbus_power::kDcAlarm: return on_dc_alarm(answer);
            case pmbus_power::kAcParameters: return on_ac_parameters(answer);
            case pmbus_power::kDcParameters: return on_dc_parameters(answer);
            default: return true;
        }
    }

    // Hands each unit in turn the INFO bytes from `offset` on; each result moves the cursor on.
    // Returns the bytes consumed from the start of INFO, or -1 when a unit could not use the answer.
    template <class Unit, class Parse>
    static std::int64_t feed(const std::vector<std::shared_ptr<Unit>>& units, Parse parse,
                             const pmbus_power::Answer& answer, std::int64_t offset) {
        for (const std::shared_ptr<Unit>& unit : units) {
            const int used = ((*unit).*parse)(answer.at(offset), answer.remaining(offset));
            if (used < 0) return -1;
            offset += used;
        }
        return offset;
    }

    // The rectifier group reads the whole INFO and must use all of it.
    template <class Parse>
    bool rc_used_all(Parse parse, const pmbus_power::Answer& answer, const char* overflowLog) {
        if (((*rcUnit_).*parse)(answer.info, answer.len) == answer.len) return true;
        InfoLog(overflowLog, dataId_);
        return false;
    }

    // The parameter answers: false when the group could not use the answer; an overlong result is
    // logged and the cycle goes on.
    template <class Parse>
    bool rc_parameters(Parse parse, const pmbus_power::Answer& answer, const char* overflowLog) {
        const int used = ((*rcUnit_).*parse)(answer.info, answer.len);
        if (used < 0) return false;
        if (used > answer.len) InfoLog(overflowLog, dataId_);
        return true;
    }

    bool on_model(const pmbus_power::Answer& answer) {
        char text[pmbus_power::kModelTextSize] = {};
        const int size = std::min(answer.len, pmbus_power::kModelTextSize);
        ByteReader(answer.info, answer.len).bytes(text, size);
        detectedModel_.assign(text, static_cast<std::size_t>(size));
        if (!model_supported()) report_model_mismatch();
        return go_on_after(pmbus_power::kModel);
    }

    bool model_supported() const {
        const std::string_view model = pmbus_power::trim_padding(detectedModel_);
        return std::any_of(supportedModels_.begin(), supportedModels_.end(),
                           [model](const std::string& supported) { return model == supported; });
    }

    void report_model_mismatch() {
        static const std::string& key = lasting_text("device_model");
        static const std::string& code = lasting_text("70319");
        static const std::string& name = lasting_text("设备配置检测");
        CheckThresholdBool(3, key, code, name, "本驱动类型:" + deviceType_ + " 检测型号:" + detectedModel_, true, 0);
    }

    bool on_ac_analog(const pmbus_power::Answer& answer) {
        const pmbus_power::Head head = pmbus_power::read_head(answer);
        acDataFlag_ = head.flag;
        if (static_cast<std::size_t>(head.count) != acUnits_.size()) {
            InfoLog("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}", dataId_,
                    static_cast<unsigned int>(head.count), static_cast<unsigned int>(acUnits_.size()));
            Reset();
            return false;
        }
        const std::int64_t consumed = feed(acUnits_, &AC::parse40_41, answer, 2);
        if (consumed < 0) return true;
        if (consumed != answer.len) {
            InfoLog("PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", dataId_);
            return true;
        }
        acFresh_ = true;
        return go_on_after(pmbus_power::kAcAnalog);
    }

    bool on_ac_status(const pmbus_power::Answer& answer) {
        if (answer.len - 2 > 0) {
            const std::int64_t consumed = feed(acUnits_, &AC::parse40_43, answer, 2);
            if (consumed < 0) return true;
            if (consumed != answer.len) {
                InfoLog("PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary", dataId_);
                return true;
            }
        }
        return go_on_after(pmbus_power::kAcStatus);
    }

    bool on_ac_alarm(const pmbus_power::Answer& answer) {
        if (feed(acUnits_, &AC::parse40_44, answer, 2) != answer.len) return true;
        return go_on_after(pmbus_power::kAcAlarm);
    }

    bool on_rc_analog(const pmbus_power::Answer& answer) {
        rcDataFlag_ = pmbus_power::read_head(answer).flag;
        if (!rc_used_all(&RC::parse41_41, answer, "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary"))
            return true;
        rcFresh_ = true;
        return go_on_after(pmbus_power::kRcAnalog);
    }

    bool on_rc_status(const pmbus_power::Answer& answer) {
        if (!rc_used_all(&RC::parse41_43, answer, "PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary"))
            return true;
        return go_on_after(pmbus_power::kRcStatus);
    }

    bool on_rc_alarm(const pmbus_power::Answer& answer) {
        if (!rc_used_all(&RC::parse41_44, answer, "PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary"))
            return true;
        return leave_rectifiers();
    }

    bool leave_rectifiers() { return dcUnits_.empty() ? end_round() : send(pmbus_power::kDcAnalog); }

    bool dc_count_matches(const pmbus_power::Head& head) const {
        if (static_cast<std::size_t>(head.count) == dcUnits_.size()) return true;
        InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}", dataId_,
                static_cast<unsigned int>(head.count), static_cast<unsigned int>(dcUnits_.size()));
        return false;
    }

    // The DC values follow DATAFLAG and count, whatever the count.
    bool on_dc_analog(const pmbus_power::Answer& answer) {
        const pmbus_power::Head head = pmbus_power::read_head(answer);
        if (!dc_count_matches(head)) return true;
        const std::int64_t consumed = feed(dcUnits_, &DC::parse42_41, answer, 2);
        if (consumed < 0) return true;
        if (consumed > answer.len) InfoLog("PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary", dataId_);
        dcFresh_ = true;
        if (wanted(head.flag, pmbus_power::kAlarmChanged | pmbus_power::kStatusChanged))
            return send(pmbus_power::kDcAlarm);
        return go_on_after(pmbus_power::kDcAlarm);
    }

    bool on_dc_alarm(const pmbus_power::Answer& answer) {
        if (!dc_count_matches(pmbus_power::read_head(answer))) return true;
        const std::int64_t consumed = feed(dcUnits_, &DC::parse42_44, answer, 2);
        if (consumed < 0) return true;
        if (consumed > answer.len) InfoLog("PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary", dataId_);
        return go_on_after(pmbus_power::kDcAlarm);
    }

    bool on_ac_parameters(const pmbus_power::Answer& answer) {
        if (!rc_parameters(&RC::parse40_46, answer, "PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary"))
            return true;
        return go_on_after(pmbus_power::kAcParameters);
    }

    bool on_dc_parameters(const pmbus_power::Answer& answer) {
        if (!rc_parameters(&RC::parse42_46, answer, "PMBusPower:ProcotolError {} parse 42_46 overflow memory boundary"))
            return true;
        return end_round();
    }

    bool end_round() {
        complete_round(acUnits_, acFresh_);
        complete_round(dcUnits_, dcFresh_);
        if (!rcFresh_) rcUnit_->mark_round_stale();
        rcUnit_->RoundDone();
        acFresh_ = rcFresh_ = dcFresh_ = false;
        step_ = pmbus_power::kAcAnalog;
        progressed_ = true;
        Reset();
        return false;
    }

    // Units whose analog answer this round did not take keep the time stamp of their last good round.
    template <class Unit>
    static void complete_round(const std::vector<std::shared_ptr<Unit>>& units, bool fresh) {
        for (const std::shared_ptr<Unit>& unit : units) {
            if (!fresh) unit->mark_round_stale();
            unit->RoundDone();
        }
    }
};
