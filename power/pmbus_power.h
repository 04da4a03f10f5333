#pragma once
#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/alarm_rule.h"
#include "bytes/byte_reader.h"
#include "common/unit_support.h"
#include "host/json.h"
#include "host/pmbus_protocol.h"

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
    int headBytes;         // INFO bytes the device reads before the units see the answer
    const char* shortLog;  // logged when the answer holds fewer than headBytes
    const char* name;      // CID1_CID2, as log lines name the answer
};

// When the answer fed to the units is taken. A refused answer leaves every record as it was and
// the step to be asked again.
enum class Accept : std::uint8_t {
    Exact,          // all of INFO used; otherwise refused, logged unless a unit of a list refused its part
    ExactQuiet,     // all of INFO used; otherwise refused without a log
    ExactIfAny,     // as Exact, but INFO with nothing past DATAFLAG and count is taken without the units
    OverrunGoesOn,  // refused when a unit refuses it; more than INFO used is logged, and the answer taken
};

// DATAFLAG and unit count lead the answers of the AC units and the DC units.
inline constexpr int kHeadSize = 2;

// Steps 0 to 9 make up a round.
inline constexpr int kRoundSteps = kDcParameters + 1;

// Polls in a row of one step that are not taken (the answer refused, or none handed on: no
// answer, or one with an error code) before the round goes on without that step.
inline constexpr int kPollsBeforeSkip = 3;

// A step skipped in this many completed rounds in a row rests: it is asked with one poll only
// every kRetryEvery-th round, until it is answered.
inline constexpr std::uint32_t kRoundsBeforeRest = 3;
inline constexpr std::uint32_t kRetryEvery = 10;

// The wait before each answer is handled.
inline constexpr std::chrono::microseconds kAnswerPause{20000};

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
    int remaining(std::int64_t offset) const { return static_cast<int>(std::max<std::int64_t>(len - offset, INT_MIN)); }
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
    explicit PMBusPower(std::vector<std::string> supportedModels,
                        std::chrono::microseconds answerPause = pmbus_power::kAnswerPause)
        : supportedModels_(std::move(supportedModels)), answerPause_(answerPause) {}

    // The request a step of the cycle sends; null for a step the cycle does not have.
    static const pmbus_power::Command* command_for(std::int32_t step) {
        const Row* row = row_for(step);
        return row == nullptr ? nullptr : &row->request;
    }

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
        // The model query is asked at every poll until its answer has been taken and checked.
        if (modelCheckPending_) return send(pmbus_power::kModel);
        if (step_ == pmbus_power::kAcAnalog && !asked_) {
            start_round();
            return true;
        }
        // The step's request was not taken: its answer was refused, or none was handed on (no
        // answer came, or one with an error code). Asked again, the parameter requests included,
        // or the round goes on without it: the cycle never stops.
        if (step_ >= pmbus_power::kAcAnalog && step_ <= pmbus_power::kDcParameters) poll_again();
        return true;
    }

    bool process_payload() override {
        if (answerPause_.count() > 0) std::this_thread::sleep_for(answerPause_);
        const Row* row = row_for(step_);
        if (row == nullptr) return true;
        progressed_ = false;
        const bool result = take(*row, pmbus_power::read_answer(payload_));
        // A refused answer sends nothing: the next poll counts it and asks again, or goes on.
        if (!progressed_) refusedSinceSend_ = true;
        return result;
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
    using Accept = pmbus_power::Accept;
    using InfoRule = pmbus_power::InfoRule;
    using AcParse = int (AC::*)(const unsigned char*, int);
    using DcParse = int (DC::*)(const unsigned char*, int);
    using RcParse = int (RC::*)(const unsigned char*, int);

    // One step of the cycle: its request, what its answer feeds, and when that answer is taken.
    // The answer is handed to each AC unit in turn, each DC unit in turn, or the rectifier group
    // (the whole INFO); a row naming none of them is the model check, which takes all of INFO.
    struct Row {
        pmbus_power::Command request;
        AcParse eachAc;
        DcParse eachDc;
        RcParse group;
        Accept accept;
        const char* overrunLog;  // logged when the units' use of INFO breaks the rule
    };

    // The steps in step order, the model check last: a step's row is found by its number.
    static constexpr Row kCycle[] = {
        {{pmbus_power::kAcAnalog, 0x40, 0x41, InfoRule::Group, 2,
          "PMBusPower:ProcotolError {} read 40_41 info length is {}, needed {}", "40_41"},
         &AC::parse40_41,
         nullptr,
         nullptr,
         Accept::Exact,
         "PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary"},
        {{pmbus_power::kAcStatus, 0x40, 0x43, InfoRule::Group, 0, nullptr, "40_43"},
         &AC::parse40_43,
         nullptr,
         nullptr,
         Accept::ExactIfAny,
         "PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary"},
        {{pmbus_power::kAcAlarm, 0x40, 0x44, InfoRule::Group, 0, nullptr, "40_44"},
         &AC::parse40_44,
         nullptr,
         nullptr,
         Accept::ExactQuiet,
         nullptr},
        {{pmbus_power::kAcParameters, 0x40, 0x46, InfoRule::None, 0, nullptr, "40_46"},
         nullptr,
         nullptr,
         &RC::parse40_46,
         Accept::OverrunGoesOn,
         "PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary"},
        {{pmbus_power::kRcAnalog, 0x41, 0x41, InfoRule::None, 1,
          "PMBusPower:ProcotolError {} read 41_41 info length is {}, needed {}", "41_41"},
         nullptr,
         nullptr,
         &RC::parse41_41,
         Accept::Exact,
         "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary"},
        {{pmbus_power::kRcStatus, 0x41, 0x43, InfoRule::None, 1,
          "PMBusPower:ProcotolError {} read 41_43 info length is {}, needed {}", "41_43"},
         nullptr,
         nullptr,
         &RC::parse41_43,
         Accept::Exact,
         "PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary"},
        {{pmbus_power::kRcAlarm, 0x41, 0x44, InfoRule::None, 1,
          "PMBusPower:ProcotolError {} read 41_44 info length is {}, needed {}", "41_44"},
         nullptr,
         nullptr,
         &RC::parse41_44,
         Accept::Exact,
         "PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary"},
        {{pmbus_power::kDcAnalog, 0x42, 0x41, InfoRule::GroupUnderV21, 2,
          "PMBusPower:ProcotolError {} read 42_41 info length is {}, needed {}", "42_41"},
         nullptr,
         &DC::parse42_41,
         nullptr,
         Accept::OverrunGoesOn,
         "PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary"},
        {{pmbus_power::kDcAlarm, 0x42, 0x44, InfoRule::GroupUnderV21, 2,
          "PMBusPower:ProcotolError {} read 42_44 info length is {}, needed {}", "42_44"},
         nullptr,
         &DC::parse42_44,
         nullptr,
         Accept::OverrunGoesOn,
         "PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary"},
        {{pmbus_power::kDcParameters, 0x42, 0x46, InfoRule::None, 0, nullptr, "42_46"},
         nullptr,
         nullptr,
         &RC::parse42_46,
         Accept::OverrunGoesOn,
         "PMBusPower:ProcotolError {} parse 42_46 overflow memory boundary"},
        {{pmbus_power::kModel, 0x40, 0x51, InfoRule::None, 0, nullptr, "40_51"},
         nullptr,
         nullptr,
         nullptr,
         Accept::Exact,
         nullptr},
    };

    // Each row of a round sits at its step's index, the model check after them.
    static constexpr bool rows_in_step_order() {
        for (std::size_t i = 0; i + 1 < std::size(kCycle); ++i)
            if (kCycle[i].request.step != static_cast<std::int32_t>(i)) return false;
        return kCycle[std::size(kCycle) - 1].request.step == pmbus_power::kModel;
    }

    static const Row* row_for(std::int32_t step) {
        constexpr std::int32_t kLastRound = pmbus_power::kDcParameters;
        static_assert(std::size(kCycle) == kLastRound + 2, "a row for each step of a round, then the model check");
        static_assert(rows_in_step_order(), "each row of kCycle sits at its step's index, the model check last");
        if (step == pmbus_power::kModel) return &kCycle[kLastRound + 1];
        return step >= 0 && step <= kLastRound ? &kCycle[step] : nullptr;
    }

    static constexpr std::uint16_t bit(std::int32_t step) { return static_cast<std::uint16_t>(1u << step); }

    const std::chrono::microseconds answerPause_;  // the wait before each answer is handled
    bool progressed_ = false;                      // the answer being handled moved the cycle on
    // Progress of a round. A step not taken on kPollsBeforeSkip polls in a row is skipped; a step
    // skipped in kRoundsBeforeRest completed rounds in a row rests until it is answered. Only a
    // round that took an answer completes and counts: a silent line completes no round.
    bool asked_ = false;                  // step_'s request went out and the cycle has not moved on since
    bool refusedSinceSend_ = false;       // an answer to the request last sent was refused
    int failedPolls_ = 0;                 // polls of step_ in a row that were not taken
    int refusedPolls_ = 0;                // the ones of them whose answer was refused
    bool roundTook_ = false;              // the round in progress took an answer
    std::uint16_t takenThisRound_ = 0;    // a bit per step
    std::uint16_t skippedThisRound_ = 0;  // a bit per step: skipped, or left out while it rests
    std::array<std::uint32_t, pmbus_power::kRoundSteps> skipStreak_{};  // completed rounds in a row that skipped it
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
        const pmbus_power::Command* command = command_for(step);
        step_ = step;
        progressed_ = true;
        asked_ = true;
        refusedSinceSend_ = false;
        const bool withGroup = command->info == InfoRule::Group || (command->info == InfoRule::GroupUnderV21 &&
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

    // The checks of the device's own, then the answer fed as the row says; a refused answer
    // leaves the step to be asked again.
    bool take(const Row& row, const pmbus_power::Answer& answer) {
        const pmbus_power::Command& command = row.request;
        if (answer.cid1 != command.cid1) return drop_answer();
        if (answer.len < command.headBytes) {
            InfoLog(command.shortLog, dataId_, answer.len, command.headBytes);
            return drop_answer();
        }
        const pmbus_power::Head head = pmbus_power::read_head(answer);
        if (command.headBytes == pmbus_power::kHeadSize && !count_matches(row, head)) return drop_answer();
        if (!feed_and_check(row, answer)) return true;
        return accepted(command.step, head);
    }

    // An answer whose head the device reads itself names a unit count: it must be the units configured.
    bool count_matches(const Row& row, const pmbus_power::Head& head) const {
        const bool ac = row.eachAc != nullptr;
        const std::size_t configured = ac ? acUnits_.size() : dcUnits_.size();
        if (static_cast<std::size_t>(head.count) == configured) return true;
        InfoLog(ac ? "PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}"
                   : "PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}",
                dataId_, static_cast<unsigned int>(head.count), static_cast<unsigned int>(configured));
        return false;
    }

    // Hands the answer to what the row names and applies the row's acceptance rule. A refused
    // answer leaves the records of every unit fed as they were before it.
    bool feed_and_check(const Row& row, const pmbus_power::Answer& answer) {
        if (row.accept == Accept::ExactIfAny && answer.len <= pmbus_power::kHeadSize) return true;
        for_fed_units(row, [](auto& unit) { unit.snapshot(); });
        const bool taken = acceptable(row, answer, feed(row, answer));
        if (!taken) for_fed_units(row, [](auto& unit) { unit.roll_back(); });
        return taken;
    }

    template <class Action>
    void for_fed_units(const Row& row, Action action) {
        if (row.eachAc != nullptr) {
            for (const std::shared_ptr<AC>& unit : acUnits_) action(*unit);
        } else if (row.eachDc != nullptr) {
            for (const std::shared_ptr<DC>& unit : dcUnits_) action(*unit);
        } else if (row.group != nullptr) {
            action(*rcUnit_);
        }
    }

    // The row's acceptance rule, given the INFO bytes the units used (none: a unit refused its part).
    bool acceptable(const Row& row, const pmbus_power::Answer& answer, const std::optional<std::int64_t>& used) {
        switch (row.accept) {
            case Accept::Exact:
            case Accept::ExactIfAny:
                if (!used) return false;
                if (*used == answer.len) return true;
                InfoLog(row.overrunLog, dataId_);
                return false;
            case Accept::ExactQuiet: return used == answer.len;
            case Accept::OverrunGoesOn:
                if (!used || *used < 0) return false;
                if (*used > answer.len) InfoLog(row.overrunLog, dataId_);
                return true;
        }
        return false;
    }

    // The INFO bytes the feed used; none when a unit of a list refused its part.
    std::optional<std::int64_t> feed(const Row& row, const pmbus_power::Answer& answer) {
        if (row.eachAc != nullptr) return feed_each(acUnits_, row.eachAc, answer);
        if (row.eachDc != nullptr) return feed_each(dcUnits_, row.eachDc, answer);
        if (row.group != nullptr) return ((*rcUnit_).*row.group)(answer.info, answer.len);
        check_model(answer);
        return answer.len;
    }

    // Hands each unit in turn the INFO bytes after DATAFLAG and count; each result moves the
    // cursor on.
    template <class Unit, class Parse>
    static std::optional<std::int64_t> feed_each(const std::vector<std::shared_ptr<Unit>>& units, Parse parse,
                                                 const pmbus_power::Answer& answer) {
        std::int64_t offset = pmbus_power::kHeadSize;
        for (const std::shared_ptr<Unit>& unit : units) {
            const int used = ((*unit).*parse)(answer.at(offset), answer.remaining(offset));
            if (used < 0) return std::nullopt;
            offset += used;
        }
        return offset;
    }

    // The answer was taken: what this round now holds, then the next request.
    bool accepted(std::int32_t step, const pmbus_power::Head& head) {
        using namespace pmbus_power;
        failedPolls_ = refusedPolls_ = 0;
        if (step != kModel) {
            roundTook_ = true;
            takenThisRound_ |= bit(step);
        }
        switch (step) {
            case kAcAnalog:
                acDataFlag_ = head.flag;
                acFresh_ = true;
                break;
            case kRcAnalog:
                rcDataFlag_ = head.flag;
                rcFresh_ = true;
                break;
            case kDcAnalog:
                dcFresh_ = true;
                if (wanted(head.flag, kAlarmChanged | kStatusChanged)) return ask(kDcAlarm);
                return go_on_after(kDcAlarm);
            default: break;
        }
        return go_on_after(step);
    }

    // A poll finds step_'s request not taken. Whatever the reason, a step that is never taken
    // must not stop the whole power system: after kPollsBeforeSkip polls in a row (one for a
    // resting step) the round goes on as if DATAFLAG had said the answer was not needed.
    void poll_again() {
        using namespace pmbus_power;
        ++failedPolls_;
        if (refusedSinceSend_) ++refusedPolls_;
        const bool resting = rests(step_);
        if (failedPolls_ < (resting ? 1 : kPollsBeforeSkip)) {
            send(step_);
            return;
        }
        const char* why = refusedPolls_ == failedPolls_ ? "refused"
                          : refusedPolls_ == 0          ? "not answered"
                                                        : "refused or not answered";
        const Command& command = row_for(step_)->request;
        if (resting) {
            InfoLog("PMBusPower:ProcotolError {} answer {} {} again, going on without it for {} rounds", dataId_,
                    command.name, why, kRetryEvery);
        } else {
            InfoLog("PMBusPower:ProcotolError {} answer {} {} on {} polls in a row, going on without it", dataId_,
                    command.name, why, failedPolls_);
        }
        failedPolls_ = refusedPolls_ = 0;
        skippedThisRound_ |= bit(step_);
        go_on_after(step_);
    }

    // A step that rests is asked only in every kRetryEvery-th round; otherwise the round goes on
    // without it at once.
    bool ask(std::int32_t step) {
        if (rests(step) && !retry_due(step)) {
            skippedThisRound_ |= bit(step);
            return go_on_after(step);
        }
        return send(step);
    }

    bool rests(std::int32_t step) const {
        return step >= 0 && step < pmbus_power::kRoundSteps && skipStreak_[step] >= pmbus_power::kRoundsBeforeRest;
    }

    bool retry_due(std::int32_t step) const {
        using namespace pmbus_power;
        return (skipStreak_[step] - kRoundsBeforeRest) % kRetryEvery == kRetryEvery - 1;
    }

    bool start_round() { return ask(first_step()); }

    // The request that follows `step` once its answer has been taken, or skipped.
    bool go_on_after(std::int32_t step) {
        using namespace pmbus_power;
        switch (step) {
            case kModel: modelCheckPending_ = false; return start_round();
            case kAcAnalog:
                if (wanted(acDataFlag_, kStatusChanged)) return ask(kAcStatus);
                return go_on_after(kAcStatus);
            case kAcStatus:
                if (wanted(acDataFlag_, kAlarmChanged)) return ask(kAcAlarm);
                return go_on_after(kAcAlarm);
            case kAcAlarm: return ask(kRcAnalog);
            case kRcAnalog:
                if (wanted(rcDataFlag_, kStatusChanged)) return ask(kRcStatus);
                return go_on_after(kRcStatus);
            case kRcStatus:
                if (wanted(rcDataFlag_, kAlarmChanged)) return ask(kRcAlarm);
                return leave_rectifiers();
            case kRcAlarm: return leave_rectifiers();
            // Without the analog answer's DATAFLAG the alarm states are asked for.
            case kDcAnalog: return ask(kDcAlarm);
            case kDcAlarm: return ask(acUnits_.empty() ? kDcParameters : kAcParameters);
            case kAcParameters: return ask(kDcParameters);
            case kDcParameters: return end_round();
            default: return true;
        }
    }

    // While the device holds no valid data every optional request is made.
    bool wanted(std::uint8_t flag, std::uint8_t bits) const { return !dataValid_ || (flag & bits) != 0; }

    void check_model(const pmbus_power::Answer& answer) {
        char text[pmbus_power::kModelTextSize] = {};
        const int size = std::min(answer.len, pmbus_power::kModelTextSize);
        ByteReader(answer.info, answer.len).bytes(text, size);
        detectedModel_.assign(text, static_cast<std::size_t>(size));
        if (!model_supported()) report_model_mismatch();
    }

    bool model_supported() const {
        const std::string_view model = pmbus_power::trim_padding(detectedModel_);
        return std::any_of(supportedModels_.begin(), supportedModels_.end(),
                           [model](const std::string& supported) { return model == supported; });
    }

    // Raised, never cleared, with the sequence number 0.
    void report_model_mismatch() {
        static const AlarmRule* rule = new AlarmRule{"device_model", "70319", "设备配置检测", 3, 1};
        report_alarm(*this, *rule, "本驱动类型:" + deviceType_ + " 检测型号:" + detectedModel_, rule->activeWhen, 0);
    }

    bool leave_rectifiers() { return dcUnits_.empty() ? end_round() : ask(pmbus_power::kDcAnalog); }

    bool end_round() {
        if (!roundTook_) return restart_round();
        count_skips();
        complete_round(acUnits_, acFresh_);
        complete_round(dcUnits_, dcFresh_);
        if (!rcFresh_) rcUnit_->mark_round_stale();
        rcUnit_->RoundDone();
        clear_round();
        step_ = pmbus_power::kAcAnalog;
        asked_ = false;
        progressed_ = true;
        Reset();
        return false;
    }

    // A round that took no answer at all is no round: nothing is completed or stamped, no step
    // counts as skipped, and the first request goes out again.
    bool restart_round() {
        clear_round();
        return send(first_step());
    }

    void clear_round() {
        acFresh_ = rcFresh_ = dcFresh_ = false;
        roundTook_ = false;
        takenThisRound_ = skippedThisRound_ = 0;
        failedPolls_ = refusedPolls_ = 0;
    }

    // A completed round: a step it took starts its count of skipped rounds again.
    void count_skips() {
        using namespace pmbus_power;
        for (std::int32_t step = 0; step < kRoundSteps; ++step) {
            if ((takenThisRound_ & bit(step)) != 0) {
                skipStreak_[step] = 0;
            } else if ((skippedThisRound_ & bit(step)) != 0 && ++skipStreak_[step] == kRoundsBeforeRest) {
                InfoLog(
                    "PMBusPower:ProcotolError {} answer {} skipped in {} rounds in a row, asked every {}th round "
                    "until it is answered",
                    dataId_, row_for(step)->request.name, kRoundsBeforeRest, kRetryEvery);
            }
        }
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
