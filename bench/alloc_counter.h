#pragma once
#include "tests/shared/allocation_counter.h"

namespace bench {

// Allocations per call of `work` on the calling thread, over `calls` calls after `warmUp` calls
// that are not counted.
template <class Work>
double allocations_per_call(Work&& work, int calls, int warmUp = 3) {
    for (int i = 0; i < warmUp; ++i) work();
    const std::size_t before = counting::thread_allocations();
    for (int i = 0; i < calls; ++i) work();
    return static_cast<double>(counting::thread_allocations() - before) / calls;
}

}  // namespace bench
