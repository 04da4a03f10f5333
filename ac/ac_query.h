#pragma once
#include <cstddef>
#include <string>

// A channel value name: "channel_<n>_<field>" found anywhere in the name. Only the first
// character after the second underscore counts as the field ("channel_0_abc" asks for "a").
struct AcChannelQuery {
    bool matched = false;
    std::size_t index = 0;  // saturates at the largest std::size_t: never a valid channel
    char field = 0;
};

// Found without backtracking or recursion, in one pass over names of any length.
AcChannelQuery match_ac_channel_query(const std::string& name);

// A longer name asks for nothing the unit provides, unless its channel number is out of range.
inline constexpr std::size_t kAcQueryNameMax = 64;
