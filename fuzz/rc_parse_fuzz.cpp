// The rectifier group fed a sequence of 41/41, 41/43, 41/44, 40/46 and 42/46 answers and round
// completions. Input: per call an operation byte, then a chunk (the INFO). Operation % 6:
// 0 parse41_41, 1 parse41_43, 2 parse41_44, 3 parse40_46, 4 parse42_46, 5 RoundDone (at most
// kRoundsAsked); bit 0x80 hands the parser a negative length.
#include "fuzz/fuzz_support.h"

namespace {

using fuzz::ProbeRC;

constexpr int kAcParamBytes = 20;
constexpr int kDcParamBytes = 8;

// The parameter answers count their user-defined parameters without reading them: 40/46 with
// P != 0 claims 21 + 4P, 42/46 with P != 3 claims 9 + 4P, whatever the length.
bool counted_unread(int op, const fuzz::Bytes& info, const ProbeRC& group, int result) {
    if (op == 3)
        return info.size() > kAcParamBytes && info[kAcParamBytes] != 0 &&
               result == kAcParamBytes + 1 + 4 * info[kAcParamBytes];
    if (op == 4)
        return group.record().p42_46 != tele_c_ktr40e_rc::P42_46_NUMBER() &&
               result == kDcParamBytes + 1 + 4 * group.record().p42_46;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::UnitHost host;
    const auto group = host.attach<ProbeRC>(7);
    fuzz::Input in(data, size);
    int rounds = 0;
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        const bool negative = (op & 0x80) != 0;
        const fuzz::Bytes info = in.chunk();
        const fuzz::ExactCopy copy(info, negative);
        const int len = copy.length();
        int result = -1;
        switch (op % 6) {
            case 0: result = group->parse41_41(copy.data(), len); break;
            case 1: result = group->parse41_43(copy.data(), len); break;
            case 2: result = group->parse41_44(copy.data(), len); break;
            case 3: result = group->parse40_46(copy.data(), len); break;
            case 4: result = group->parse42_46(copy.data(), len); break;
            default:
                if (++rounds <= fuzz::kRoundsAsked) fuzz::complete_round(*group);
                break;
        }
        FUZZ_CHECK(result == -1 || (result >= 0 && result <= len) ||
                   (!negative && counted_unread(op % 6, info, *group, result)));
        FUZZ_CHECK(group->counts_agree());
    }
    fuzz::complete_round(*group);
    return 0;
}
