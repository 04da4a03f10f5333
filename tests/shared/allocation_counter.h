#pragma once
// A count of the process's calls of operator new. Only the programs that build
// tests/shared/allocation_counter.cpp in (some suites, fuzz targets and the benchmarks) have it.
#include <cstddef>

namespace counting {
// Calls of operator new in this process so far.
std::size_t allocations_so_far();
// Calls of operator new by the calling thread so far.
std::size_t thread_allocations();
}  // namespace counting
