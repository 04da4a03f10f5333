#pragma once
// Cache restore of one unit kind, fed a sequence of cached images.
// Input: per call an operation byte, then a chunk (the image). Bit 0x01 of the operation
// completes a round after the restore (at most kRoundsAsked in an input); bit 0x80 hands the
// unit a negative length.
#include "fuzz/fuzz_support.h"
#include "site/host/host_access.h"

namespace fuzz {

// A refused image changes nothing: records, data-valid flag and update time stay as they were.
// An accepted one becomes the records byte for byte, and the next round publishes it again
// with only its update_time renewed.
template <class Probe>
int restore_from_cache(const std::uint8_t* data, std::size_t size) {
    UnitHost host;
    const auto unit = host.attach<Probe>(9);
    Input in(data, size);
    int rounds = 0;
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        const Bytes image = in.chunk();
        const ExactCopy copy(image, (op & 0x80) != 0);
        const Bytes before = unit->records();
        const bool validBefore = VRTHostAccess::data_valid(*unit);
        const boost::posix_time::ptime updatedBefore = VRTHostAccess::last_update(*unit);

        const bool accepted = unit->LoadFromCache(copy.data(), copy.length());
        if (accepted) {
            FUZZ_CHECK(copy.length() >= 0 && unit->records() == image);
            FUZZ_CHECK(VRTHostAccess::data_valid(*unit));
        } else {
            FUZZ_CHECK(unit->records() == before);
            FUZZ_CHECK(VRTHostAccess::data_valid(*unit) == validBefore);
            FUZZ_CHECK(VRTHostAccess::last_update(*unit) == updatedBefore);
        }
        FUZZ_CHECK(unit->counts_agree());
        if ((op & 0x01) != 0 && ++rounds <= kRoundsAsked) {
            const Bytes published = complete_round(*unit);
            FUZZ_CHECK(without_time(published, Probe::kTimeAt) ==
                       without_time(accepted ? image : before, Probe::kTimeAt));
        }
    }
    return 0;
}

}  // namespace fuzz
