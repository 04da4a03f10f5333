#include "site/app/app.h"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "sim/simulator.h"
#include "site/history_listing.h"
#include "site/history_store.h"

namespace app {
namespace {

const char kHistoryUsage[] =
    "usage: sitehost history [--db FILE] [--format json|csv] [--device DATAID] [--since TIME]\n"
    "                        [--until TIME] [--limit N] [--field NAME ...]\n"
    "Lists the saved images (oldest first) decoded into named fields.\n"
    "TIME is 2026-12-08, 2026-12-08T11:02 or 2026-12-08 11:02:03, local unless it ends in Z or +HH:MM;\n"
    "--since is inclusive, --until exclusive. --limit N lists the newest N images. --field NAME\n"
    "(repeatable) keeps only that field or the fields under it (\"voltage\", \"channels.0\").\n";

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

void usage_error(const std::string& message, const char* usage) {
    std::cerr << "sitehost: " << message << "\n" << usage;
    std::exit(2);
}

std::string option_value(int argc, char** argv, int& i) {
    if (i + 1 >= argc) {
        std::cerr << "sitehost: " << argv[i] << " needs a value\n";
        std::exit(2);
    }
    return argv[++i];
}

std::uint64_t parse_count(const std::string& text, const std::string& option) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
        std::cerr << "sitehost: " << option << " expects a whole number\n";
        std::exit(2);
    }
    return std::stoull(text);
}

std::vector<std::unique_ptr<sim::Simulator>> start_simulators(site::SiteConfig& site) {
    std::vector<std::unique_ptr<sim::Simulator>> simulators;
    for (site::SystemConfig& system : site.systems) {
        if (!system.port.empty()) continue;
        auto simulator = std::make_unique<sim::Simulator>(sim::config_from_json(simulator_json(system)));
        system.port = simulator->start_pty();
        std::cout << "power system " << system.dataId << ": built-in simulator on " << system.port << "\n";
        simulators.push_back(std::move(simulator));
    }
    return simulators;
}

int run_history(int argc, char** argv) {
    std::string db = "sitehost.db";
    std::string format = "json";
    site::ListingOptions listing;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kHistoryUsage;
            return 0;
        }
        const std::string value = option_value(argc, argv, i);
        if (arg == "--db") {
            db = value;
        } else if (arg == "--format") {
            if (value != "json" && value != "csv") usage_error("--format is json or csv", kHistoryUsage);
            format = value;
        } else if (arg == "--device") {
            const std::uint64_t id = parse_count(value, arg);
            if (id > 0xFFFFFFFFu) usage_error("--device expects a data id", kHistoryUsage);
            listing.filter.device = static_cast<unsigned>(id);
        } else if (arg == "--since" || arg == "--until") {
            const auto ms = site::parse_time_text(value);
            if (!ms) usage_error(arg + " expects a time such as 2026-12-08T11:02:03", kHistoryUsage);
            (arg == "--since" ? listing.filter.sinceMs : listing.filter.untilMs) = *ms;
        } else if (arg == "--limit") {
            listing.limit = parse_count(value, arg);
            if (listing.limit == 0) usage_error("--limit expects a count of 1 or more", kHistoryUsage);
        } else if (arg == "--field") {
            if (value.empty()) usage_error("--field expects a field name", kHistoryUsage);
            listing.fields.push_back(value);
        } else {
            usage_error("unknown option " + arg, kHistoryUsage);
        }
    }
    if (!std::ifstream(db)) throw std::runtime_error(db + ": no such history database");
    const auto store = site::HistoryStore::open(db, site::HistoryStore::Mode::ReadOnly);
    if (format == "csv") {
        site::list_history_csv(*store, std::cout, listing);
    } else {
        site::list_history_json(*store, std::cout, listing);
    }
    return 0;
}

}  // namespace app
