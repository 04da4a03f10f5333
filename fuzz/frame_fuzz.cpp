// The stand-in host's frame decoder fed a byte stream in pieces.
// Input: a byte choosing the decoder's INFO capacity, a byte choosing the piece size
// (1 to 256), then the stream. Every decoded frame must encode again into a frame that decodes
// to the same header and INFO; a refusal carries a reason and no INFO; feeding never allocates
// and never holds more than the capacity chosen at construction.
#include <algorithm>
#include <string>

#include "fuzz/fuzz_support.h"
#include "line/frame.h"
#include "tests/shared/allocation_counter.h"

namespace {

constexpr std::size_t kCapacities[] = {line::kMaxInfoBytes, 0, 1, 2, 8, 32, 128, 255};

bool same_frame(const line::Frame& a, const line::Frame& b) {
    return a.header.ver == b.header.ver && a.header.adr == b.header.adr && a.header.cid1 == b.header.cid1 &&
           a.header.code == b.header.code && a.info == b.info;
}

void check_reencoded(const line::Frame& frame, std::size_t capacity) {
    const std::string text = line::encode(frame);
    FUZZ_CHECK(text.size() == line::kHeaderChars + line::kChecksumChars + 2 + 2 * frame.info.size());
    line::FrameDecoder again(capacity);
    std::size_t outcomes = 0;
    again.feed_all(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), [&](const line::DecodeResult& r) {
        ++outcomes;
        FUZZ_CHECK(r.ok() && r.headerRead);
        FUZZ_CHECK(same_frame(r.frame, frame));
    });
    FUZZ_CHECK(outcomes == 1);
}

void check_outcome(const line::DecodeResult& result, std::size_t capacity) {
    if (!result.ok()) {
        FUZZ_CHECK(result.frame.info.empty());
        return;
    }
    FUZZ_CHECK(result.headerRead);
    FUZZ_CHECK(result.frame.info.size() <= capacity);
    check_reencoded(result.frame, capacity);
}

// Feeds one piece; returns the bytes the decoder took before it reported an outcome or ran out.
std::size_t feed_piece(line::FrameDecoder& decoder, const std::uint8_t* data, std::size_t size) {
    const std::size_t before = counting::allocations_so_far();
    const std::size_t used = decoder.feed(data, size);
    FUZZ_CHECK(counting::allocations_so_far() == before);
    FUZZ_CHECK(used >= 1 && used <= size);
    FUZZ_CHECK(used == size || decoder.ready());
    return used;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::size_t capacity = kCapacities[in.byte() % (sizeof kCapacities / sizeof kCapacities[0])];
    const std::size_t piece = 1 + std::size_t{in.byte()};
    const fuzz::Bytes stream = in.rest();

    line::FrameDecoder decoder(capacity);
    const std::size_t infoCapacity = decoder.result().frame.info.capacity();
    std::size_t fed = 0;
    while (fed < stream.size()) {
        const std::size_t end = std::min(stream.size(), fed + piece);
        while (fed < end) {
            fed += feed_piece(decoder, stream.data() + fed, end - fed);
            if (decoder.ready()) check_outcome(decoder.result(), capacity);
            FUZZ_CHECK(decoder.result().frame.info.capacity() == infoCapacity);
            FUZZ_CHECK(decoder.discarded() <= fed);
        }
    }
    return 0;
}
