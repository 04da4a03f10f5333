#include "bench_site.h"

namespace bench {
namespace {

Json::Value unit_list(unsigned first, std::size_t count) {
    Json::Value list(Json::arrayValue);
    for (std::size_t i = 0; i < count; ++i) {
        Json::Value unit(Json::objectValue);
        unit["data_id"] = first + static_cast<unsigned>(i);
        list.append(unit);
    }
    return list;
}

}  // namespace

sim::SiteState site_state() {
    sim::SiteState state;
    sim::AcUnit ac;
    ac.channels.assign(kChannelsPerAcUnit, sim::AcChannel{});
    state.ac.assign(kAcUnits, ac);
    state.dc.assign(kDcUnits, sim::DcUnit{});
    state.rectifiers.modules.assign(kModules, sim::RectifierModule{});
    return state;
}

Json::Value power_settings(unsigned dataId) {
    Json::Value settings(Json::objectValue);
    settings["data_id"] = dataId;
    settings["acSetting"] = unit_list(dataId + 11, kAcUnits);
    settings["dcSetting"] = unit_list(dataId + 21, kDcUnits);
    settings["rcSetting"] = Json::Value(Json::objectValue);
    return settings;
}

Json::Value site_system(unsigned dataId, const std::string& port, double pollInterval, double minRoundGap) {
    Json::Value system = power_settings(dataId);
    system["port"] = port;
    system["baud"] = 9600;
    system["poll_interval"] = pollInterval;
    system["min_round_gap"] = minRoundGap;
    system["trust_dataflag"] = false;
    return system;
}

}  // namespace bench
