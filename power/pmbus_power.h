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
};

inline constexpr Command kCommands[] = {
    {kModel, 0x40, 0x51, InfoRule::None, 0, nullptr},
    {kAcAnalog, 0x40, 0x41, InfoRule::Group, 2, "PMBusPower:ProcotolError {} read 40_41 info length is {}, needed {}"},
    {kAcStatus, 0x40, 0x43, InfoRule::Group, 0, nullptr},
    {kAcAlarm, 0x40, 0x44, InfoRule::Group, 0, nullptr},
    {kRcAnalog, 0x41, 0x41, InfoRule::None, 1, "PMBusPower:ProcotolError {} read 41_41 info length is {}, needed {}"},
    {kRcStatus, 0x41, 0x43, InfoRule::None, 1, "PMBusPower:ProcotolError {} read 41_43 info length is {}, needed {}"},
    {kRcAlarm, 0x41, 0x44, InfoRule::None, 1, "PMBusPower:ProcotolError {} read 41_44 info length is {}, needed {}"},
    {kDcAnalog, 0x42, 0x41, InfoRule::GroupUnderV21, 2,
     "PMBusPower:ProcotolError {} read 42_41 info length is {}, needed {}"},
    {kDcAlarm, 0x42, 0x44, InfoRule::GroupUnderV21, 2,
     "PMBusPower:ProcotolError {} read 42_44 info length is {}, needed {}"},
    {kAcParameters, 0x40, 0x46, InfoRule::None, 0, nullptr},
    {kDcParameters, 0x42, 0x46, InfoRule::None, 0, nullptr},
};

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
        if (age_seconds(lastUpdate_) < 2 && !modelCheckPending_) {
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
        const pmbus_power::Answer answer = pmbus_power::read_answer(payload_);
        if (answer.cid1 != command->cid1) return drop_answer();
        if (answer.len < command->headBytes) {
            InfoLog(command->shortLog, dataId_, answer.len, command->headBytes);
            return drop_answer();
        }
        return handle(answer);
    }

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
        modelCheckPending_ = false;
        return send(first_step());
    }

    bool model_supported() const {
        const std::string_view model = pmbus_power::trim_padding(detectedModel_);
        return std::any_of(supportedModels_.begin(), supportedModels_.end(),
                           [model](const std::string& supported) { return model == supported; });
    }

    void report_model_mismatch() {
        static const std::string key = "device_model";
        static const std::string code = "70319";
        static const std::string name = "设备配置检测";
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
        if (wanted(acDataFlag_, pmbus_power::kStatusChanged)) return send(pmbus_power::kAcStatus);
        if (wanted(acDataFlag_, pmbus_power::kAlarmChanged)) return send(pmbus_power::kAcAlarm);
        return send(pmbus_power::kRcAnalog);
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
        if (wanted(acDataFlag_, pmbus_power::kAlarmChanged)) return send(pmbus_power::kAcAlarm);
        return send(pmbus_power::kRcAnalog);
    }

    bool on_ac_alarm(const pmbus_power::Answer& answer) {
        if (feed(acUnits_, &AC::parse40_44, answer, 2) != answer.len) return true;
        return send(pmbus_power::kRcAnalog);
    }

    bool on_rc_analog(const pmbus_power::Answer& answer) {
        rcDataFlag_ = pmbus_power::read_head(answer).flag;
        if (!rc_used_all(&RC::parse41_41, answer, "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary"))
            return true;
        if (wanted(rcDataFlag_, pmbus_power::kStatusChanged)) return send(pmbus_power::kRcStatus);
        if (wanted(rcDataFlag_, pmbus_power::kAlarmChanged)) return send(pmbus_power::kRcAlarm);
        return leave_rectifiers();
    }

    bool on_rc_status(const pmbus_power::Answer& answer) {
        if (!rc_used_all(&RC::parse41_43, answer, "PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary"))
            return true;
        if (wanted(rcDataFlag_, pmbus_power::kAlarmChanged)) return send(pmbus_power::kRcAlarm);
        return leave_rectifiers();
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
        if (wanted(head.flag, pmbus_power::kAlarmChanged | pmbus_power::kStatusChanged))
            return send(pmbus_power::kDcAlarm);
        return leave_dc();
    }

    bool on_dc_alarm(const pmbus_power::Answer& answer) {
        if (!dc_count_matches(pmbus_power::read_head(answer))) return true;
        const std::int64_t consumed = feed(dcUnits_, &DC::parse42_44, answer, 2);
        if (consumed < 0) return true;
        if (consumed > answer.len) InfoLog("PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary", dataId_);
        return leave_dc();
    }

    bool leave_dc() { return send(acUnits_.empty() ? pmbus_power::kDcParameters : pmbus_power::kAcParameters); }

    bool on_ac_parameters(const pmbus_power::Answer& answer) {
        if (!rc_parameters(&RC::parse40_46, answer, "PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary"))
            return true;
        return send(pmbus_power::kDcParameters);
    }

    bool on_dc_parameters(const pmbus_power::Answer& answer) {
        if (!rc_parameters(&RC::parse42_46, answer, "PMBusPower:ProcotolError {} parse 42_46 overflow memory boundary"))
            return true;
        return end_round();
    }

    bool end_round() {
        for (const std::shared_ptr<AC>& unit : acUnits_) unit->RoundDone();
        for (const std::shared_ptr<DC>& unit : dcUnits_) unit->RoundDone();
        rcUnit_->RoundDone();
        step_ = pmbus_power::kAcAnalog;
        Reset();
        return false;
    }
};
