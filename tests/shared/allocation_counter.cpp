// Counts the test process's allocations through operator new. In the load suite the plug-in's
// are counted too: the executable exports its symbols, so the plug-in's calls bind to these;
// the line suite shows with it that decoding allocates nothing per byte. Kept in a file of its
// own so the replacements are never inlined into the code that allocates.
#include "shared/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> allocations{0};
}

std::size_t counting::allocations_so_far() { return allocations.load(); }

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
