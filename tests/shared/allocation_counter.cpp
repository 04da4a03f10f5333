// Counts the process's allocations through operator new (tests, fuzz targets and benchmarks). In the load suite the plug-in's
// are counted too: the executable exports its symbols, so the plug-in's calls bind to these;
// the line suite and the frame fuzz target show with it that decoding allocates nothing per
// byte. Every plain and nothrow form is replaced, single and array, so that each allocation is
// counted and every block is released by the same allocator that made it (a sanitizer build
// checks that pairing). Kept in a file of its own so the replacements are never inlined into
// the code that allocates.
#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> allocations{0};
// Per thread as well: a benchmark's timed thread counts its own while the host's threads run.
thread_local std::size_t threadAllocations = 0;

void* counted_malloc(std::size_t size) noexcept {
    ++allocations;
    ++threadAllocations;
    return std::malloc(size == 0 ? 1 : size);
}

void* counted_or_throw(std::size_t size) {
    if (void* p = counted_malloc(size)) return p;
    throw std::bad_alloc();
}

}  // namespace

std::size_t counting::allocations_so_far() { return allocations.load(); }
std::size_t counting::thread_allocations() { return threadAllocations; }

void* operator new(std::size_t size) { return counted_or_throw(size); }
void* operator new[](std::size_t size) { return counted_or_throw(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return counted_malloc(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return counted_malloc(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
