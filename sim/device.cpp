#include "sim/device.h"

#include <cmath>
#include <cstring>

#include "line/frame.h"

namespace sim {
namespace {

constexpr std::size_t kModelTextSize = 20;
constexpr std::uint8_t kStatusChanged = 0x10;
constexpr std::uint8_t kAlarmsChanged = 0x01;

constexpr unsigned command(std::uint8_t cid1, std::uint8_t cid2) { return static_cast<unsigned>(cid1 << 8 | cid2); }

}  // namespace

void InfoText::u8(std::uint8_t byte) { line::append_hex(text_, byte); }

void InfoText::analog(const Analog& value) {
    if (!value) {
        text_.append(8, ' ');
        return;
    }
    std::uint32_t bits = 0;
    const float v = *value;
    std::memcpy(&bits, &v, sizeof bits);
    for (int shift = 0; shift < 32; shift += 8) u8(static_cast<std::uint8_t>(bits >> shift));
}

void InfoText::bytes(const std::vector<std::uint8_t>& values) {
    for (const std::uint8_t b : values) u8(b);
}

void InfoText::counted(const std::vector<std::uint8_t>& values) {
    count(values.size());
    bytes(values);
}

// Moves each analog value of one answer slowly around its configured value, each value in
// its own phase; an amplitude of 0 leaves the values exactly as configured.
class DeviceModel::Drift {
public:
    Drift(double amplitude, double phase) : amplitude_(amplitude), phase_(phase) {}

    Analog operator()(const Analog& value) {
        ++index_;
        if (!value || amplitude_ == 0) return value;
        return static_cast<float>(*value * (1.0 + amplitude_ * std::sin(phase_ + 0.9 * index_)));
    }

    void analogs(InfoText& out, const std::vector<Analog>& values) {
        for (const Analog& v : values) out.analog((*this)(v));
    }

    void counted(InfoText& out, const std::vector<Analog>& values) {
        out.count(values.size());
        analogs(out, values);
    }

private:
    double amplitude_;
    double phase_;
    int index_ = 0;
};

DeviceModel::DeviceModel(SiteState state, DataFlagMode mode, std::uint8_t fixedDataFlag, double drift,
                         std::chrono::seconds driftPeriod)
    : state_(std::move(state)),
      mode_(mode),
      fixedDataFlag_(fixedDataFlag),
      drift_(drift),
      driftPeriod_(static_cast<double>(driftPeriod.count())) {}

bool DeviceModel::carries_unit_count(std::uint8_t cid1, std::uint8_t cid2) {
    switch (command(cid1, cid2)) {
        case command(0x40, 0x41):
        case command(0x40, 0x43):
        case command(0x40, 0x44):
        case command(0x42, 0x41):
        case command(0x42, 0x44): return true;
        default: return false;
    }
}

std::optional<std::string> DeviceModel::answer(std::uint8_t cid1, std::uint8_t cid2, double elapsed) {
    const double pi = std::acos(-1.0);
    Drift drift(drift_, 2 * pi * elapsed / driftPeriod_);
    switch (command(cid1, cid2)) {
        case command(0x40, 0x51): return model_text();
        case command(0x40, 0x41): return with_dataflag(Ac, ac_analog(drift));
        case command(0x40, 0x43): return status_answer(Ac);
        case command(0x40, 0x44): return alarm_answer(Ac);
        case command(0x41, 0x41): return with_dataflag(Rc, rc_analog(drift));
        case command(0x41, 0x43): return status_answer(Rc);
        case command(0x41, 0x44): return alarm_answer(Rc);
        case command(0x42, 0x41): return with_dataflag(Dc, dc_analog(drift));
        case command(0x42, 0x44): return alarm_answer(Dc);
        case command(0x40, 0x46): return ac_parameters();
        case command(0x42, 0x46): return dc_parameters();
        default: return std::nullopt;
    }
}

std::string DeviceModel::model_text() const {
    InfoText out;
    const std::uint8_t pad = state_.padWithNul ? 0x00 : 0x20;
    for (std::size_t i = 0; i < kModelTextSize; ++i) {
        out.u8(i < state_.model.size() ? static_cast<std::uint8_t>(state_.model[i]) : pad);
    }
    return out.text();
}

std::string DeviceModel::ac_analog(Drift& drift) const {
    InfoText out;
    out.count(state_.ac.size());
    for (const AcUnit& unit : state_.ac) {
        out.count(unit.channels.size());
        for (const AcChannel& ch : unit.channels) {
            drift.analogs(out, {ch.a, ch.b, ch.c, ch.f});
            drift.counted(out, ch.user);
        }
        drift.analogs(out, {unit.ia, unit.ib, unit.ic});
    }
    return out.text();
}

std::string DeviceModel::ac_status() const {
    InfoText out;
    out.count(state_.ac.size());
    for (const AcUnit& unit : state_.ac) {
        out.counted(unit.airSwitches);
        out.counted(unit.userStatus);
    }
    return out.text();
}

std::string DeviceModel::ac_alarms() const {
    InfoText out;
    out.count(state_.ac.size());
    for (const AcUnit& unit : state_.ac) {
        out.count(unit.channels.size());
        for (const AcChannel& ch : unit.channels) {
            out.bytes({ch.aAlert, ch.bAlert, ch.cAlert, ch.fAlert});
            out.counted(ch.extraStates);
            out.counted(ch.userAlarms);
        }
        out.bytes({unit.iaAlert, unit.ibAlert, unit.icAlert});
    }
    return out.text();
}

std::string DeviceModel::rc_analog(Drift& drift) const {
    const Rectifiers& rc = state_.rectifiers;
    InfoText out;
    out.analog(drift(rc.outputVoltage));
    out.count(rc.modules.size());
    for (const RectifierModule& module : rc.modules) {
        out.analog(drift(module.current));
        drift.counted(out, module.user);
    }
    return out.text();
}

std::string DeviceModel::rc_status() const {
    const Rectifiers& rc = state_.rectifiers;
    InfoText out;
    out.count(rc.modules.size());
    for (const RectifierModule& module : rc.modules) {
        out.bytes(std::vector<std::uint8_t>(module.status.begin(), module.status.end()));
        out.counted(module.userStatus);
    }
    return out.text();
}

std::string DeviceModel::rc_alarms() const {
    const Rectifiers& rc = state_.rectifiers;
    InfoText out;
    out.count(rc.modules.size());
    for (const RectifierModule& module : rc.modules) {
        out.u8(module.fault);
        out.counted(module.userAlarms);
    }
    return out.text();
}

std::string DeviceModel::dc_analog(Drift& drift) const {
    InfoText out;
    out.count(state_.dc.size());
    for (const DcUnit& unit : state_.dc) {
        drift.analogs(out, {unit.voltage, unit.current});
        drift.counted(out, unit.batteries);
        drift.counted(out, unit.branches);
        drift.counted(out, unit.user);
    }
    return out.text();
}

std::string DeviceModel::dc_alarms() const {
    InfoText out;
    out.count(state_.dc.size());
    for (const DcUnit& unit : state_.dc) {
        out.u8(unit.voltageState);
        out.counted(unit.fuses);
        out.counted(unit.userAlarms);
    }
    return out.text();
}

// Parameters are settings: they do not drift.
std::string DeviceModel::ac_parameters() const {
    Drift fixed(0, 0);
    InfoText out;
    fixed.analogs(out, state_.parameters.ac);
    fixed.counted(out, state_.parameters.acUser);
    return out.text();
}

std::string DeviceModel::dc_parameters() const {
    Drift fixed(0, 0);
    InfoText out;
    fixed.analogs(out, state_.parameters.dc);
    fixed.counted(out, state_.parameters.dcUser);
    return out.text();
}

std::optional<std::string> DeviceModel::status_of(Group group) const {
    switch (group) {
        case Ac: return ac_status();
        case Rc: return rc_status();
        default: return std::nullopt;  // the DC group has no status request
    }
}

std::string DeviceModel::alarms_of(Group group) const {
    switch (group) {
        case Ac: return ac_alarms();
        case Rc: return rc_alarms();
        default: return dc_alarms();
    }
}

std::uint8_t DeviceModel::dataflag(Group group) const {
    switch (mode_) {
        case DataFlagMode::Always: return kStatusChanged | kAlarmsChanged;
        case DataFlagMode::Never: return 0;
        case DataFlagMode::Fixed: return fixedDataFlag_;
        case DataFlagMode::Changes: break;
    }
    const std::optional<std::string> status = status_of(group);
    std::uint8_t flag = 0;
    if (status && status != toldStatus_[group]) flag |= kStatusChanged;
    if (alarms_of(group) != toldAlarms_[group]) flag |= kAlarmsChanged;
    return flag;
}

std::string DeviceModel::with_dataflag(Group group, const std::string& body) const {
    InfoText out;
    out.u8(dataflag(group));
    out.append(body);
    return out.text();
}

std::string DeviceModel::status_answer(Group group) {
    const std::string body = *status_of(group);
    std::string info = with_dataflag(group, body);
    toldStatus_[group] = body;
    return info;
}

std::string DeviceModel::alarm_answer(Group group) {
    const std::string body = alarms_of(group);
    std::string info = with_dataflag(group, body);
    toldAlarms_[group] = body;
    return info;
}

}  // namespace sim
