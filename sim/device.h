#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/state.h"

namespace sim {

// The INFO text of an answer as it goes on the line: hex pairs, blanks for values not provided.
class InfoText {
public:
    void u8(std::uint8_t byte);
    void count(std::size_t n) { u8(static_cast<std::uint8_t>(n)); }
    // Four bytes, least significant first; eight blanks when not provided.
    void analog(const Analog& value);
    void bytes(const std::vector<std::uint8_t>& values);
    // A count byte and the values it counts.
    void counted(const std::vector<std::uint8_t>& values);
    void append(const std::string& text) { text_ += text; }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// The device side of the KTR-40: builds the answer to each request from the state, tracks the
// DATAFLAG of each group and lets the analog values drift. Not thread-safe.
class DeviceModel {
public:
    DeviceModel(SiteState state, DataFlagMode mode, std::uint8_t fixedDataFlag, double drift,
                std::chrono::seconds driftPeriod);

    SiteState& state() { return state_; }
    const SiteState& state() const { return state_; }

    // INFO text of the answer to (cid1, cid2), `elapsed` seconds after the start;
    // nothing for a command the system does not know.
    std::optional<std::string> answer(std::uint8_t cid1, std::uint8_t cid2, double elapsed);

    // Whether INFO byte 1 of the answer is the group's unit count.
    static bool carries_unit_count(std::uint8_t cid1, std::uint8_t cid2);

private:
    enum Group { Ac, Rc, Dc, GroupCount };

    class Drift;

    std::string model_text() const;
    std::string ac_analog(Drift& drift) const;
    std::string ac_status() const;
    std::string ac_alarms() const;
    std::string rc_analog(Drift& drift) const;
    std::string rc_status() const;
    std::string rc_alarms() const;
    std::string dc_analog(Drift& drift) const;
    std::string dc_alarms() const;
    std::string ac_parameters() const;
    std::string dc_parameters() const;

    std::optional<std::string> status_of(Group group) const;
    std::string alarms_of(Group group) const;
    std::uint8_t dataflag(Group group) const;
    std::string with_dataflag(Group group, const std::string& body) const;
    // A status or alarm answer counts as told from now on: DATAFLAG no longer flags it.
    std::string status_answer(Group group);
    std::string alarm_answer(Group group);

    SiteState state_;
    DataFlagMode mode_;
    std::uint8_t fixedDataFlag_;
    double drift_;
    double driftPeriod_;
    std::optional<std::string> toldStatus_[GroupCount];
    std::optional<std::string> toldAlarms_[GroupCount];
};

}  // namespace sim
