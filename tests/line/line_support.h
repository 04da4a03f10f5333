#pragma once
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "shared/allocation_counter.h"
#include "site/frame.h"

namespace line {

inline std::vector<std::uint8_t> bytes_of(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (const int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

// Appends the four bytes of a float, least significant first.
inline void put_float(std::vector<std::uint8_t>& out, float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

inline std::vector<site::DecodeResult> decode_all(site::FrameDecoder& decoder, const std::string& text) {
    std::vector<site::DecodeResult> results;
    decoder.feed_all(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                     [&](const site::DecodeResult& r) { results.push_back(r); });
    return results;
}

inline std::vector<site::DecodeResult> decode_all(const std::string& text) {
    site::FrameDecoder decoder;
    return decode_all(decoder, text);
}

// Allocations the test process has made so far.
using counting::allocations_so_far;

}  // namespace line
