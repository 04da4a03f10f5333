#pragma once
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

namespace sim {

// The number a command-line option's text holds in [low, high], or nothing when the text is
// not wholly such a number.
inline std::optional<double> number_in(const std::string& text, double low, double high) {
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (text.empty() || used != text.size() || value < low || value > high) return std::nullopt;
    return value;
}

// A command written as "CID1/CID2" in hex ("42/41") as (CID1 << 8) | CID2, or nothing.
inline std::optional<std::uint16_t> command_in(const std::string& text) {
    unsigned cid1 = 0;
    unsigned cid2 = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%2x/%2x%n", &cid1, &cid2, &used) != 2 || used != static_cast<int>(text.size()))
        return std::nullopt;
    return static_cast<std::uint16_t>(cid1 << 8 | cid2);
}

}  // namespace sim
