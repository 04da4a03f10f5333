#pragma once
#include <chrono>

#include "ac/ktr40e_ac.h"
#include "dc/ktr40e_dc.h"
#include "power/pmbus_power.h"
#include "rc/ktr40e_rc.h"

extern template class PMBusPower<Ktr40eAC, Ktr40eDC, Ktr40eRC>;

// The KTR-40 power system.
class Ktr40e : public PMBusPower<Ktr40eAC, Ktr40eDC, Ktr40eRC> {
public:
    Ktr40e();
    // A test, a fuzz target or a benchmark passes no pause, to handle answers as fast as they come.
    explicit Ktr40e(std::chrono::microseconds answerPause);
};
