#pragma once
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

// The INFO bytes of a sample answer written as its frame carries them: two hex digits a byte.
// Spaces only set fields apart for the reader; a value the device does not provide is written
// as the decoder hands it on, 20 20 20 20.
inline std::vector<std::uint8_t> info_from_hex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        if (c == ' ') continue;
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) throw std::invalid_argument("not a hex digit in a sample answer");
        if (high < 0) {
            high = digit;
            continue;
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit));
        high = -1;
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits in a sample answer");
    return bytes;
}
