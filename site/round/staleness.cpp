#include "site/round/staleness.h"

#include <algorithm>

namespace site {
namespace {

using Duration = std::chrono::steady_clock::duration;

// The requests of a first round (the model query and ten more).
constexpr int kRequestsPerRound = 11;
// Expected round times without a complete round that make a system stalled.
constexpr int kStaleRounds = 3;

Duration seconds(double s) { return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s)); }

}  // namespace

Duration expected_round(const SystemConfig& config, Duration lastTook) {
    const Duration polling = lastTook.count() > 0 ? lastTook + seconds(config.minRoundGap)
                                                  : kRequestsPerRound * (config.replyTimeout + config.settle);
    return std::max({polling, seconds(config.pollInterval), Duration(std::chrono::seconds(1))});
}

Duration stale_after(const SystemConfig& config, Duration lastTook) {
    return kStaleRounds * expected_round(config, lastTook);
}

}  // namespace site
