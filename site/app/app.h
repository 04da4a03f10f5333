#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "site/site_config.h"

namespace app {

[[noreturn]] void usage_error(const std::string& message, const char* usage);
// The value after option argv[i]; moves i onto it.
std::string option_value(int argc, char** argv, int& i);
std::uint64_t parse_count(const std::string& text, const std::string& option);

// Starts a built-in simulator on a pseudo-terminal for every power system without a port and
// points the system at it. Unless the simulator's configuration says otherwise, it answers at
// the system's address and baud with as many AC and DC units as the system has.
std::vector<std::unique_ptr<sim::Simulator>> start_simulators(site::SiteConfig& site);

// `sitehost history ...`: argv[0] is "history".
int run_history(int argc, char** argv);

}  // namespace app
