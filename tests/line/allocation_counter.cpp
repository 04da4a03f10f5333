// Counts the test process's allocations, so the tests can show that decoding allocates
// nothing per byte. Kept in a file of its own: the replacements must not be inlined into
// the code that uses containers.
#include <atomic>
#include <cstdlib>
#include <new>

#include "line/line_support.h"

namespace {
std::atomic<std::size_t> allocations{0};
}

std::size_t line::allocations_so_far() { return allocations.load(); }

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
