#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "recording_units.h"
#include "site/host/controller.h"
#include "site/host/events.h"
#include "site/host/host_access.h"
#include "site/host/link.h"

namespace rec {

inline constexpr unsigned kDeviceId = 1000;

inline Json::Value unit_list(const std::vector<unsigned>& ids) {
    Json::Value list(Json::arrayValue);
    for (unsigned id : ids) {
        Json::Value unit(Json::objectValue);
        unit["data_id"] = id;
        list.append(unit);
    }
    return list;
}

inline Json::Value settings_for(const std::vector<unsigned>& ac, const std::vector<unsigned>& dc) {
    Json::Value settings(Json::objectValue);
    settings["acSetting"] = unit_list(ac);
    settings["dcSetting"] = unit_list(dc);
    settings["rcSetting"] = Json::Value(Json::objectValue);
    return settings;
}

inline std::string name_of(const line::Request& request) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X/%02X", request.cid1, request.cid2);
    return text;
}

inline std::vector<std::string> names_of(const std::vector<line::Request>& requests) {
    std::vector<std::string> names;
    for (const line::Request& request : requests) names.push_back(name_of(request));
    return names;
}

inline std::vector<std::uint8_t> model_info(const std::string& text) { return {text.begin(), text.end()}; }

// A power system device with recording units, driven through the stand-in host's scripted line.
class PowerTest : public ::testing::Test {
protected:
    void SetUp() override { journal().clear(); }

    void configure(const std::vector<unsigned>& ac, const std::vector<unsigned>& dc) {
        configure_with(settings_for(ac, dc));
    }

    void configure_with(const Json::Value& settings) {
        dev = std::make_shared<RecPower>();
        dev->Init(controller, kDeviceId, Json::Value());
        ASSERT_TRUE(dev->InitSetting(settings));
        link = std::make_shared<HostLink>(script);
        HostLink::attach(*dev, link);
    }

    bool poll() { return dev->RefreshStatus(); }

    bool answer(std::uint8_t cid1, std::vector<std::uint8_t> info) {
        return link->deliver(*dev, line::Answer{0x20, 1, cid1, 0, std::move(info)});
    }

    // The model query and a matching answer; afterwards the first request of a round is outstanding.
    void pass_model_check() {
        ASSERT_TRUE(poll());
        ASSERT_TRUE(answer(0x40, model_info("KTR-40")));
    }

    // Puts the device at a step as if its request had just been sent.
    void go_to_step(std::int32_t step) {
        VRTHostAccess::step(*dev) = step;
        script->clear();
        journal().calls.clear();
        recorder->clear();
    }

    std::vector<std::string> sent() const { return names_of(script->requests()); }

    std::vector<site::Event> logs() const { return recorder->of(site::EventKind::Log); }

    // One round: the outstanding request (or the next poll's) and every request after it, each answered by
    // `respond`, until the round ends. Returns the requests in the order sent.
    std::vector<line::Request> run_round(
        const std::function<std::vector<std::uint8_t>(const line::Request&)>& respond) {
        std::vector<line::Request> requests;
        if (!link->awaiting()) {
            script->clear();
            EXPECT_TRUE(poll());
        }
        if (script->count() == 0) {
            ADD_FAILURE() << "no request outstanding";
            return requests;
        }
        for (int i = 0; i < 16; ++i) {
            requests.push_back(script->last());
            const std::size_t before = script->count();
            if (!answer(requests.back().cid1, respond(requests.back()))) return requests;
            if (script->count() == before) {
                ADD_FAILURE() << "no request after " << name_of(requests.back());
                return requests;
            }
        }
        ADD_FAILURE() << "round does not end";
        return requests;
    }

    std::shared_ptr<site::Recorder> recorder = std::make_shared<site::Recorder>();
    std::shared_ptr<site::Controller> controller = std::make_shared<site::Controller>(recorder, site::WorkMode::Inline);
    std::shared_ptr<line::ScriptedTransport> script = std::make_shared<line::ScriptedTransport>();
    std::shared_ptr<HostLink> link = std::make_shared<HostLink>(script);
    std::shared_ptr<RecPower> dev;
};

}  // namespace rec
