#pragma once
#include "shared/allocation_counter.h"

namespace load {
// Calls of operator new in this process so far.
using counting::allocations_so_far;
}  // namespace load
