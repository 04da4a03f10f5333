#pragma once
// A count of the test process's calls of operator new. Only the suites that build
// shared/allocation_counter.cpp in (see tests/CMakeLists.txt) have it.
#include <cstddef>

namespace counting {
// Calls of operator new in this process so far.
std::size_t allocations_so_far();
}  // namespace counting
