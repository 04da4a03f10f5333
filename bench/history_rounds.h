#pragma once
#include <cstddef>
#include <vector>

#include "site/store/history_store.h"

namespace bench {

// The images of round `n` of the bench site as the host saves them, with the counts a real
// power system reports: analog values that move every round, states and alarm bytes that
// change now and then.
std::vector<site::UnitImage> history_round(std::size_t n);

}  // namespace bench
