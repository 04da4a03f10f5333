#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/state.h"

namespace sim {

// A count in one kind of answer that the KTR-40 driver cannot keep or does not expect: more
// items than its record holds (8 air switches; 4 battery, 9 branch and 8 user currents; 64
// fuse and 17 user alarm states), a user-defined count other than the one it is built for,
// or more channels or modules than it established from the first answers.
struct Overcount {
    const char* name;
    std::uint8_t cid1;
    std::uint8_t cid2;
    // Changes the state the answer is built from; false when the state lacks the unit,
    // channel or module to change.
    bool (*apply)(SiteState& state);
};

// Every overcount the simulator knows, in request order.
const std::vector<Overcount>& overcounts();
// The overcount of that name, or nullptr.
const Overcount* find_overcount(const std::string& name);

}  // namespace sim
