#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rc/ktr40e_rc.h"
#include "site/host/controller.h"
#include "site/host/events.h"
#include "site/host/host_access.h"
#include "tests/shared/unit_probe.h"

namespace rctest {

using Bytes = std::vector<std::uint8_t>;

using ProbedRC = UnitProbe<Ktr40eRC>;

constexpr unsigned kDataId = 7;

// A rectifier group attached to a recording stand-in controller.
struct Rig {
    explicit Rig(site::WorkMode mode = site::WorkMode::Inline)
        : recorder(std::make_shared<site::Recorder>()),
          controller(std::make_shared<site::Controller>(recorder, mode)),
          rc(std::make_shared<ProbedRC>()) {
        rc->Init(controller, kDataId, Json::Value());
        rc->InitV(nullptr, kDataId, Json::Value());
    }

    using Parser = int (Ktr40eRC::*)(const unsigned char*, int);
    // Hands the parser a buffer of exactly the INFO's size, so a read past it is caught.
    int feed(Parser parser, const Bytes& info) {
        const Bytes exact(info);
        return ((*rc).*parser)(exact.data(), static_cast<int>(exact.size()));
    }

    std::vector<site::Event> logs() const { return recorder->of(site::EventKind::Log); }

    std::shared_ptr<site::Recorder> recorder;
    std::shared_ptr<site::Controller> controller;
    std::shared_ptr<ProbedRC> rc;
};

// Answers for three modules; every stored byte tells where it came from.
// Module 2 sends its user-defined analog value as blanks, module 3 its current as four equal bytes.
inline Bytes info41_41() {
    Bytes info = {0x11, 0x41, 0x42, 0x43, 0x44, 3};
    for (std::uint8_t i = 0; i < 3; ++i) {
        const Bytes current = i == 2 ? Bytes{0x33, 0x33, 0x33, 0x33}
                                     : Bytes{std::uint8_t(0x10 + i), std::uint8_t(0x20 + i), std::uint8_t(0x30 + i),
                                             std::uint8_t(0x40 + i)};
        const Bytes value = i == 1 ? Bytes{0x20, 0x20, 0x20, 0x20}
                                   : Bytes{std::uint8_t(0x50 + i), std::uint8_t(0x60 + i), std::uint8_t(0x70 + i),
                                           std::uint8_t(0x80 + i)};
        info.insert(info.end(), current.begin(), current.end());
        info.push_back(1);
        info.insert(info.end(), value.begin(), value.end());
    }
    return info;
}

inline Bytes info41_43() {
    Bytes info = {0x00, 3};
    for (std::uint8_t i = 0; i < 3; ++i) {
        const Bytes module = {std::uint8_t(0xA0 + i), std::uint8_t(0xB0 + i), std::uint8_t(0xC0 + i), 2,
                              std::uint8_t(0xD0 + i), std::uint8_t(0xE0 + i)};
        info.insert(info.end(), module.begin(), module.end());
    }
    return info;
}

// Fault bytes 0, 1, 0; user-defined alarm bytes 0xE2, 0x01, 0x00.
inline Bytes info41_44() { return {0x00, 3, 0, 1, 0xE2, 1, 1, 0x01, 0, 1, 0x00}; }

inline Bytes info40_46() {
    Bytes info;
    for (std::uint8_t b = 0x01; b <= 0x14; ++b) info.push_back(b);
    info.push_back(0);
    return info;
}

inline Bytes info42_46() {
    Bytes info = {0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 3};
    for (std::uint8_t b = 0x91; b <= 0x9C; ++b) info.push_back(b);
    return info;
}

}  // namespace rctest
