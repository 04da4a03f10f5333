#pragma once
#include <cstdint>
#include <string>

#include "host/api.h"

// A threshold rule as the host's batch check consumes it. The plug-in only hands
// these back to the host; their meaning is the host's.
struct VRT_HOST_API rule_value {
    std::uint8_t level = 0;
    std::string key;
    std::string code;
    std::uint32_t value = 0;
    std::uint32_t changed = 0;
    std::string name;
    std::string text;
    std::uint32_t seq = 0;
};
