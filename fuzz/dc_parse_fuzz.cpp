// One DC unit fed a sequence of 42/41 and 42/44 blocks and round completions.
// Input: per call an operation byte, then a chunk (the block). Operation % 3: 0 parse42_41,
// 1 parse42_44, 2 RoundDone (at most kRoundsAsked); bit 0x80 hands the parser a negative length.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::UnitHost host;
    const auto unit = host.attach<fuzz::ProbeDC>(7);
    fuzz::Input in(data, size);
    int rounds = 0;
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        const fuzz::ExactCopy block(in.chunk(), (op & 0x80) != 0);
        const int len = block.length();
        int result = -1;
        switch (op % 3) {
            case 0: result = unit->parse42_41(block.data(), len); break;
            case 1: result = unit->parse42_44(block.data(), len); break;
            default:
                if (++rounds <= fuzz::kRoundsAsked) fuzz::complete_round(*unit);
                break;
        }
        // Even an oversized user-defined count claims no more than the bytes that remain.
        FUZZ_CHECK(result == -1 || (result >= 0 && result <= len));
    }
    fuzz::complete_round(*unit);
    return 0;
}
