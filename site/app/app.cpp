#include "site/app/app.h"

#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "site/trace/console.h"
#include "site/store/history_listing.h"
#include "site/config/usage_error.h"
#include "site/store/history_store.h"

namespace app {
namespace {

// The most images one listing shows; more would be no listing for people.
constexpr std::uint64_t kMaxListed = 100000000;

void add_time_option(CLI::App& command, const std::string& name, std::optional<std::int64_t>& ms,
                     const std::string& help) {
    command
        .add_option_function<std::string>(
            name,
            [&ms, name](const std::string& text) {
                ms = site::parse_time_text(text);
                if (!ms) throw CLI::ValidationError(name, "expects a time such as 2026-12-08T11:02:03");
            },
            help)
        ->type_name("TIME");
}

}  // namespace

Json::Value simulator_json(const site::SystemConfig& system) {
    Json::Value json = system.simulator.isObject() ? system.simulator : Json::Value(Json::objectValue);
    const Json::Value& settings = system.settings;
    if (!json.isMember("address")) json["address"] = settings.get("address", 1);
    if (!json.isMember("baud")) json["baud"] = system.baud;
    if (!json.isMember("ac")) json["ac"] = settings["acSetting"].isArray() ? settings["acSetting"].size() : 0u;
    if (!json.isMember("dc")) json["dc"] = settings["dcSetting"].isArray() ? settings["dcSetting"].size() : 0u;
    return json;
}

CLI::App* add_history_command(CLI::App& cli, HistoryOptions& options) {
    CLI::App* history = cli.add_subcommand("history", "List the saved images (oldest first) decoded into named fields");
    history->add_option("--db", options.db, "History database")
        ->type_name("FILE")
        ->capture_default_str()
        ->check(cmdline::kNotEmpty);
    history->add_option("--format", options.format, "Listing format")
        ->check(CLI::IsMember({"json", "csv"}))
        ->capture_default_str();
    site::HistoryFilter& filter = options.listing.filter;
    history
        ->add_option_function<std::uint32_t>(
            "--device", [&filter](const std::uint32_t& id) { filter.device = id; }, "Only the images of this data id")
        ->type_name("DATAID")
        ->check(cmdline::kWholeNumber);
    add_time_option(*history, "--since", filter.sinceMs, "Only images saved at or after TIME");
    add_time_option(*history, "--until", filter.untilMs, "Only images saved before TIME");
    history->add_option("--limit", options.listing.limit, "Only the newest N images (still listed oldest first)")
        ->type_name("N")
        ->check(cmdline::whole_number_in(1, kMaxListed));
    history
        ->add_option("--field", options.listing.fields,
                     "Only this field or the fields under it (\"voltage\", \"channels.0\"); repeatable")
        ->type_name("NAME")
        ->take_all()
        ->allow_extra_args(false);
    history->footer(
        "TIME is 2026-12-08, 2026-12-08T11:02 or 2026-12-08 11:02:03, local unless it ends in Z or +HH:MM.");
    return history;
}

std::vector<std::unique_ptr<line::LineServer>> start_simulators(site::SiteConfig& site,
                                                                const SimulatorFactory& make_simulator) {
    std::vector<std::unique_ptr<line::LineServer>> simulators;
    for (site::SystemConfig& system : site.systems) {
        if (!system.port.empty()) continue;
        auto simulator = make_simulator(simulator_json(system));
        system.port = simulator->start_pty();
        site::console(site::Level::Info,
                      "power system " + std::to_string(system.dataId) + ": built-in simulator on " + system.port);
        simulators.push_back(std::move(simulator));
    }
    return simulators;
}

int run_history(const HistoryOptions& options) {
    const std::string& db = options.db;
    if (!std::ifstream(db)) throw site::UsageError(db + ": no such history database");
    const auto store = site::HistoryStore::open(db, site::HistoryStore::Mode::ReadOnly);
    const std::size_t listed = options.format == "csv" ? site::list_history_csv(*store, std::cout, options.listing)
                                                       : site::list_history_json(*store, std::cout, options.listing);
    if (listed == 0) site::console(site::Level::Warn, db + ": no saved image matches");
    return 0;
}

}  // namespace app
