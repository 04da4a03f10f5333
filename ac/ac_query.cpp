#include "ac/ac_query.h"

#include <limits>
#include <regex>

namespace {

// Decimal digits to a channel index; a number too large for any channel list saturates
// instead of overflowing.
std::size_t channel_index(std::string::const_iterator first, std::string::const_iterator last) {
    constexpr std::size_t limit = std::numeric_limits<std::size_t>::max();
    std::size_t index = 0;
    for (; first != last; ++first) {
        const auto digit = static_cast<std::size_t>(*first - '0');
        if (index > (limit - digit) / 10) return limit;
        index = index * 10 + digit;
    }
    return index;
}

}  // namespace

AcChannelQuery match_ac_channel_query(const std::string& name) {
    static const std::regex pattern("channel_(\\d+)_(.+?)", std::regex::ECMAScript);
    std::smatch found;
    AcChannelQuery query;
    if (!std::regex_search(name, found, pattern)) return query;
    query.matched = true;
    query.index = channel_index(found[1].first, found[1].second);
    query.field = *found[2].first;
    return query;
}
