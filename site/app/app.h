#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "site/command_line.h"
#include "site/history_listing.h"
#include "site/site_config.h"

namespace app {

// What `sitehost history` was asked.
struct HistoryOptions {
    std::string db = "sitehost.db";
    std::string format = "json";
    site::ListingOptions listing;
};

// Adds the `history` command and its options to the command line.
CLI::App* add_history_command(CLI::App& cli, HistoryOptions& options);

// Starts a built-in simulator on a pseudo-terminal for every power system without a port and
// points the system at it. Unless the simulator's configuration says otherwise, it answers at
// the system's address and baud with as many AC and DC units as the system has.
std::vector<std::unique_ptr<sim::Simulator>> start_simulators(site::SiteConfig& site);

// `sitehost history ...`: lists the saved images.
int run_history(const HistoryOptions& options);

}  // namespace app
