#pragma once
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dc/ktr40e_dc.h"
#include "site/host/controller.h"
#include "site/host/events.h"
#include "site/host/host_access.h"
#include "tests/shared/unit_probe.h"

namespace dctest {

using Bytes = std::vector<std::uint8_t>;

using ProbedDC = UnitProbe<Ktr40eDC>;

// A DC unit attached to a recording stand-in controller.
struct Rig {
    explicit Rig(unsigned dataId = 7, const Json::Value& setting = Json::Value(),
                 site::WorkMode mode = site::WorkMode::Inline)
        : recorder(std::make_shared<site::Recorder>()),
          controller(std::make_shared<site::Controller>(recorder, mode)),
          unit(std::make_shared<ProbedDC>()) {
        unit->Init(controller, dataId, Json::Value());
        initResult = unit->InitV(nullptr, dataId, setting);
    }

    // The alarm checks of the unit (Alarm and AlertMap), in call order.
    std::vector<site::Event> checks() const {
        std::vector<site::Event> picked;
        for (const site::Event& e : recorder->events())
            if (e.kind == site::EventKind::Alarm || e.kind == site::EventKind::AlertMap) picked.push_back(e);
        return picked;
    }

    std::shared_ptr<site::Recorder> recorder;
    std::shared_ptr<site::Controller> controller;
    std::shared_ptr<ProbedDC> unit;
    bool initResult = false;
};

inline void put_float(Bytes& out, float value) {
    std::uint8_t raw[4];
    std::memcpy(raw, &value, 4);
    out.insert(out.end(), raw, raw + 4);
}

inline float float_at(const Bytes& image, std::size_t offset) {
    float value;
    std::memcpy(&value, image.data() + offset, 4);
    return value;
}

inline Bytes slice(const Bytes& image, std::size_t offset, std::size_t size) {
    return Bytes(image.begin() + static_cast<long>(offset), image.begin() + static_cast<long>(offset + size));
}

// A 42/41 block: voltage, current, m currents, n currents, then p user values given raw.
inline Bytes analog_block(float voltage, float current, const std::vector<float>& m, const std::vector<float>& n,
                          const std::vector<Bytes>& userRaw) {
    Bytes out;
    put_float(out, voltage);
    put_float(out, current);
    out.push_back(static_cast<std::uint8_t>(m.size()));
    for (float v : m) put_float(out, v);
    out.push_back(static_cast<std::uint8_t>(n.size()));
    for (float v : n) put_float(out, v);
    out.push_back(static_cast<std::uint8_t>(userRaw.size()));
    for (const Bytes& raw : userRaw) out.insert(out.end(), raw.begin(), raw.end());
    return out;
}

// A 42/44 block: voltage state, fuse states, user states.
inline Bytes alarm_block(std::uint8_t voltageState, const Bytes& fuses, const Bytes& states) {
    Bytes out{voltageState, static_cast<std::uint8_t>(fuses.size())};
    out.insert(out.end(), fuses.begin(), fuses.end());
    out.push_back(static_cast<std::uint8_t>(states.size()));
    out.insert(out.end(), states.begin(), states.end());
    return out;
}

inline int parse41(ProbedDC& unit, const Bytes& block) {
    return unit.parse42_41(block.data(), static_cast<int>(block.size()));
}

inline int parse44(ProbedDC& unit, const Bytes& block) {
    return unit.parse42_44(block.data(), static_cast<int>(block.size()));
}

}  // namespace dctest
