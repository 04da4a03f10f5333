#pragma once
// Simulated power systems asked without a line.
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "line/frame.h"
#include "sim/simulator.h"
#include "site/discover/asker.h"

namespace discover_test {

// Each request reaches the simulator of its address, as on a multi-drop bus; one at an address
// without a simulator goes unanswered. `quirk` may answer first, as a device that departs
// from the simulator would.
class SimAsker : public discover::Asker {
public:
    std::map<std::uint8_t, sim::Simulator*> bus;
    std::function<std::optional<discover::Reply>(const line::Request&)> quirk;
    std::vector<line::Request> asked;

    discover::Reply ask(const line::Request& request, std::chrono::milliseconds) override {
        asked.push_back(request);
        if (quirk) {
            if (std::optional<discover::Reply> reply = quirk(request)) return *reply;
        }
        const auto system = bus.find(request.adr);
        if (system == bus.end()) return discover::Reply();
        const std::optional<sim::Reply> reply = system->second->respond(decoded(line::encode(request)));
        if (!reply) return discover::Reply();
        const line::DecodeResult answer = decoded(reply->line);
        if (!answer.ok()) return discover::Reply{discover::Reply::Kind::Garbled, {}, line::to_string(answer.error)};
        return discover::Reply{discover::Reply::Kind::Answer, line::to_answer(answer.frame), {}};
    }

    // The requests asked of one address.
    std::vector<line::Request> asked_of(std::uint8_t address) const {
        std::vector<line::Request> of;
        for (const line::Request& request : asked)
            if (request.adr == address) of.push_back(request);
        return of;
    }

private:
    static line::DecodeResult decoded(const std::string& text) {
        line::FrameDecoder decoder;
        line::DecodeResult last;
        decoder.feed_all(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                         [&last](const line::DecodeResult& result) { last = result; });
        return last;
    }
};

// An answer with `rtn` and no INFO to `request`.
inline discover::Reply answer_with(const line::Request& request, std::uint8_t rtn) {
    return discover::Reply{
        discover::Reply::Kind::Answer, line::Answer{request.ver, request.adr, request.cid1, rtn, {}}, {}};
}

// A KTR-40 answering at once, with fixed values.
inline sim::SimConfig system_at(std::uint8_t address, std::vector<std::size_t> acChannels = {1, 3},
                                std::size_t dcUnits = 2, std::size_t modules = 4) {
    sim::SimConfig config;
    config.address = address;
    config.baud = 0;
    config.drift = 0;
    config.seed = 1;
    config.state.ac.assign(acChannels.size(), sim::AcUnit{});
    for (std::size_t i = 0; i < acChannels.size(); ++i)
        config.state.ac[i].channels.assign(acChannels[i], sim::AcChannel{});
    config.state.dc.assign(dcUnits, sim::DcUnit{});
    config.state.rectifiers.modules.assign(modules, sim::RectifierModule{});
    return config;
}

}  // namespace discover_test
