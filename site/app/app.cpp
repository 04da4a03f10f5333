#include "site/app/app.h"

#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "sim/simulator.h"
#include "site/console.h"
#include "site/history_listing.h"
#include "site/history_store.h"

namespace app {
namespace {

// The simulator's configuration for a system: what the site file gives, completed from the
// system's own settings so that the two agree.
Json::Value simulator_json(const site::SystemConfig& system) {
    Json::Value json = system.simulator.isObject() ? system.simulator : Json::Value(Json::objectValue);
    const Json::Value& settings = system.settings;
    if (!json.isMember("address")) json["address"] = settings.get("address", 1);
    if (!json.isMember("baud")) json["baud"] = system.baud;
    if (!json.isMember("ac")) json["ac"] = settings["acSetting"].isArray() ? settings["acSetting"].size() : 0u;
    if (!json.isMember("dc")) json["dc"] = settings["dcSetting"].isArray() ? settings["dcSetting"].size() : 0u;
    return json;
}

}  // namespace

CLI::App* add_history_command(CLI::App& cli, HistoryOptions& options) {
    CLI::App* history = cli.add_subcommand("history", "List the saved images (oldest first) decoded into named fields");
    history->add_option("--db", options.db, "History database")->type_name("FILE")->capture_default_str();
    history->add_option("--format", options.format, "Listing format")
        ->check(CLI::IsMember({"json", "csv"}))
        ->capture_default_str();
    history->add_option_function<std::uint32_t>(
        "--device", [&options](const std::uint32_t& id) { options.device = id; }, "Only the images of this data id")
        ->type_name("DATAID")
        ->check(site::kWholeNumber);
    return history;
}

std::vector<std::unique_ptr<sim::Simulator>> start_simulators(site::SiteConfig& site) {
    std::vector<std::unique_ptr<sim::Simulator>> simulators;
    for (site::SystemConfig& system : site.systems) {
        if (!system.port.empty()) continue;
        auto simulator = std::make_unique<sim::Simulator>(sim::config_from_json(simulator_json(system)));
        system.port = simulator->start_pty();
        site::console(site::Level::Info,
                      "power system " + std::to_string(system.dataId) + ": built-in simulator on " + system.port);
        simulators.push_back(std::move(simulator));
    }
    return simulators;
}

int run_history(const HistoryOptions& options) {
    const std::string& db = options.db;
    const std::optional<unsigned>& device = options.device;
    if (!std::ifstream(db)) throw std::runtime_error(db + ": no such history database");
    const auto store = site::HistoryStore::open(db, site::HistoryStore::Mode::ReadOnly);
    if (options.format == "csv") {
        site::list_history_csv(*store, std::cout, device);
    } else {
        site::list_history_json(*store, std::cout, device);
    }
    return 0;
}

}  // namespace app
