#pragma once
#include <cstddef>
#include <string>

#include "host/json.h"
#include "sim/state.h"

// The power system every benchmark polls: 2 AC distribution units with 2 input channels each,
// 2 DC distribution units and a rectifier group of 12 modules.
namespace bench {

inline constexpr std::size_t kAcUnits = 2;
inline constexpr std::size_t kChannelsPerAcUnit = 2;
inline constexpr std::size_t kDcUnits = 2;
inline constexpr std::size_t kModules = 12;
// AC units, DC units and the rectifier group: the units that complete a round.
inline constexpr std::size_t kUnits = kAcUnits + kDcUnits + 1;
// Requests of a round in which every status and alarm request is made.
inline constexpr std::size_t kRoundRequests = 10;

// What the simulated power system measures (values as the simulator's defaults).
sim::SiteState site_state();

// The power system device's settings: unit data ids follow from the system's own
// (dataId + 11, + 12 for AC, + 21, + 22 for DC), so systems 100 apart never share one.
Json::Value power_settings(unsigned dataId);

// One power system of a site file for the host program on `port`.
Json::Value site_system(unsigned dataId, const std::string& port, double pollInterval, double minRoundGap);

}  // namespace bench
