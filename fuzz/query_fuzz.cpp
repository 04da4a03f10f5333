// Value-query names of an AC unit with three channels. Input: the name, byte for byte.
// A name of any length is answered (a value or one of the unit's four texts) without
// recursion; up to 256 bytes the channel pattern found agrees with the regular expression
// "channel_(\d+)_(.+?)" searched anywhere in the name, and names up to 64 characters get the
// value or text that pattern leads to.
#include <regex>
#include <stdexcept>
#include <string>

#include "ac/ac_query.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr std::size_t kCompared = 256;
constexpr std::size_t kChannels = 3;

struct Unit {
    fuzz::UnitHost host;
    std::shared_ptr<fuzz::ProbeAC> ac = host.attach<fuzz::ProbeAC>(4001);

    // Three channels whose values tell them apart, completed by one round.
    Unit() {
        fuzz::Bytes portion{kChannels};
        for (std::size_t c = 0; c < kChannels; ++c) {
            for (int field = 0; field < 4; ++field) append_float(portion, static_cast<float>(10 * c + field + 1));
            portion.push_back(0);
        }
        for (int k = 0; k < 3; ++k) append_float(portion, 0.5f);
        std::FILE* trace = std::freopen("/dev/null", "w", stdout);
        FUZZ_CHECK(trace != nullptr && ac->parse40_41(portion.data(), static_cast<int>(portion.size())) ==
                                           static_cast<int>(portion.size()));
        fuzz::complete_round(*ac);
    }

    static void append_float(fuzz::Bytes& out, float value) {
        std::uint8_t raw[4];
        std::memcpy(raw, &value, 4);
        out.insert(out.end(), raw, raw + 4);
    }
};

// The saturating index of a digit run, as the unit reads it.
std::size_t index_of(const std::string& digits) {
    std::size_t index = 0;
    for (const char c : digits) {
        const auto digit = static_cast<std::size_t>(c - '0');
        if (index > (SIZE_MAX - digit) / 10) return SIZE_MAX;
        index = index * 10 + digit;
    }
    return index;
}

void compare_with_the_pattern(const std::string& name, const AcChannelQuery& query) {
    static const std::regex pattern("channel_(\\d+)_(.+?)", std::regex::ECMAScript);
    std::smatch found;
    const bool matched = std::regex_search(name, found, pattern);
    FUZZ_CHECK(query.matched == matched);
    if (!matched) return;
    FUZZ_CHECK(query.index == index_of(found[1].str()));
    FUZZ_CHECK(query.field == *found[2].first);
}

// What the unit must answer for a name it reads as `query`, or nullptr for a value.
const char* expected_error(const std::string& name, const AcChannelQuery& query) {
    static const char* const unitNames[] = {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"};
    for (const char* unitName : unitNames)
        if (name == unitName) return nullptr;
    if (!query.matched) return "数据未提供";
    if (query.index >= kChannels) return "通道参数越界";
    if (name.size() > kAcQueryNameMax) return "数据未提供";
    const std::string fields = "abcf";
    return fields.find(query.field) == std::string::npos ? "数据未提供" : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Unit unit;
    const std::string name(reinterpret_cast<const char*>(data), size);
    const AcChannelQuery query = match_ac_channel_query(name);
    if (size <= kCompared) compare_with_the_pattern(name, query);
    const char* error = expected_error(name, query);
    try {
        const float value = unit.ac->Get_Value(0, name);
        FUZZ_CHECK(error == nullptr);
        if (query.matched) {
            const std::size_t field = std::string("abcf").find(query.field);
            FUZZ_CHECK(value == static_cast<float>(10 * query.index + field + 1));
        }
    } catch (const std::out_of_range& e) {
        FUZZ_CHECK(error != nullptr && std::string(e.what()) == error);
    }
    return 0;
}
