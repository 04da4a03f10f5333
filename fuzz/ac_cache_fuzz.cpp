// LoadFromCache of the AC unit: see cache_fuzz.h for the input and the invariants.
#include "fuzz/cache_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::restore_from_cache<fuzz::ProbeAC>(data, size);
}
