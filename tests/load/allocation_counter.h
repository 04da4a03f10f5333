#pragma once
#include <cstddef>

namespace load {
// Calls of operator new in this process so far.
std::size_t allocations_so_far();
}  // namespace load
