#pragma once
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "line/frame.h"
#include "tests/shared/allocation_counter.h"

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

inline std::vector<line::DecodeResult> decode_all(line::FrameDecoder& decoder, const std::string& text) {
    std::vector<line::DecodeResult> results;
    decoder.feed_all(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                     [&](const line::DecodeResult& r) { results.push_back(r); });
    return results;
}

inline std::vector<line::DecodeResult> decode_all(const std::string& text) {
    line::FrameDecoder decoder;
    return decode_all(decoder, text);
}

// Allocations the test process has made so far.
using counting::allocations_so_far;

}  // namespace line
