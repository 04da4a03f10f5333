#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cmdline/command_line.h"
#include "host/json.h"
#include "line/line_server.h"
#include "site/store/history_listing.h"
#include "site/config/site_config.h"

namespace app {

// What `sitehost history` was asked.
struct HistoryOptions {
    std::string db = "sitehost.db";
    std::string format = "json";
    site::ListingOptions listing;
};

// Adds the `history` command and its options to the command line.
CLI::App* add_history_command(CLI::App& cli, HistoryOptions& options);

// The simulator's configuration for a system: what the site file gives, completed from the
// system's own settings so that the two agree.
Json::Value simulator_json(const site::SystemConfig& system);

// Makes the built-in simulator of a power system from its configuration (the site file's
// "simulator" object, completed from the system's settings).
using SimulatorFactory = std::function<std::unique_ptr<line::LineServer>(const Json::Value& config)>;

// Starts a built-in simulator on a pseudo-terminal for every power system without a port and
// points the system at it. Unless the simulator's configuration says otherwise, it answers at
// the system's address and baud with as many AC and DC units as the system has.
std::vector<std::unique_ptr<line::LineServer>> start_simulators(site::SiteConfig& site,
                                                                const SimulatorFactory& make_simulator);

// `sitehost history ...`: lists the saved images.
int run_history(const HistoryOptions& options);

}  // namespace app
