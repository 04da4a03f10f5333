#pragma once
#include <chrono>

#include "site/config/site_config.h"

namespace site {

// How long a round of the system takes from start to start: the last round's time plus the
// pause the site file keeps between rounds (before the first round: every request answered
// just within the reply timeout), never less than the poll interval or a second.
std::chrono::steady_clock::duration expected_round(const SystemConfig& config,
                                                   std::chrono::steady_clock::duration lastTook);

// Without a complete round for this long a system is stalled: the console warns and the
// outputs mark it offline.
std::chrono::steady_clock::duration stale_after(const SystemConfig& config,
                                                std::chrono::steady_clock::duration lastTook);

}  // namespace site
