#pragma once
#include <cstdint>

namespace bench {

// Heap allocations the calling thread has made so far through operator new. The benchmark
// binary replaces the global operator new to count them.
std::uint64_t thread_allocations() noexcept;

// Allocations per call of `work`, over `calls` calls after `warmUp` calls that are not counted.
template <class Work>
double allocations_per_call(Work&& work, int calls, int warmUp = 3) {
    for (int i = 0; i < warmUp; ++i) work();
    const std::uint64_t before = thread_allocations();
    for (int i = 0; i < calls; ++i) work();
    return static_cast<double>(thread_allocations() - before) / calls;
}

}  // namespace bench
