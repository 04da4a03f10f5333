// One AC unit fed a sequence of 40/41, 40/43 and 40/44 portions and round completions.
// Input: per call an operation byte, then a chunk (the portion). Operation % 4: 0 parse40_41,
// 1 parse40_43, 2 parse40_44, 3 RoundDone (at most kRoundsAsked); bit 0x80 hands the parser a
// negative length.
#include <algorithm>

#include "fuzz/fuzz_support.h"

namespace {

using fuzz::ProbeAC;

// A result is -1 or at most the length given; the one exception is a 40/43 portion with a
// user-defined count, which is counted (2 + m + P) without being read.
void check_status_result(const ProbeAC& unit, int result, const fuzz::ExactCopy& portion) {
    if (result == -1 || result <= portion.length()) return;
    const tele_c_ktr40e_ac& record = unit.record();
    FUZZ_CHECK(record.p40_43 != 0);
    FUZZ_CHECK(result == 2 + portion.data()[0] + record.p40_43);
}

// A portion taken keeps the first states it carries, at most the record's eight, and the record
// counts the states it holds.
void check_air_switches(const ProbeAC& unit, int result, const fuzz::ExactCopy& portion) {
    const tele_c_ktr40e_ac& record = unit.record();
    FUZZ_CHECK(record.airlock_count <= tele_c_ktr40e_ac::AIRLOCK_MAX());
    if (result == -1) return;
    const int kept = std::min<int>(portion.data()[0], tele_c_ktr40e_ac::AIRLOCK_MAX());
    FUZZ_CHECK(record.airlock_count == kept);
    FUZZ_CHECK(std::memcmp(record.airlock, portion.data() + 1, static_cast<std::size_t>(kept)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::UnitHost host;
    const auto unit = host.attach<ProbeAC>(4001);
    fuzz::Input in(data, size);
    int rounds = 0;
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        const fuzz::ExactCopy portion(in.chunk(), (op & 0x80) != 0);
        const int len = portion.length();
        int result = -1;
        switch (op % 4) {
            case 0: result = unit->parse40_41(portion.data(), len); break;
            case 1:
                result = unit->parse40_43(portion.data(), len);
                check_status_result(*unit, result, portion);
                check_air_switches(*unit, result, portion);
                break;
            case 2: result = unit->parse40_44(portion.data(), len); break;
            default:
                if (++rounds <= fuzz::kRoundsAsked) fuzz::complete_round(*unit);
                break;
        }
        FUZZ_CHECK(result >= -1);
        FUZZ_CHECK(result == -1 || result <= len || op % 4 == 1);
        FUZZ_CHECK(unit->counts_agree());
    }
    fuzz::complete_round(*unit);
    return 0;
}
