#include "ac/ac_query.h"

#include <limits>
#include <string_view>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_line_break(char c) { return c == '\n' || c == '\r'; }

// Decimal digits to a channel index; a number too large for any channel list saturates
// instead of overflowing.
std::size_t channel_index(std::string_view digits) {
    constexpr std::size_t limit = std::numeric_limits<std::size_t>::max();
    std::size_t index = 0;
    for (const char c : digits) {
        const auto digit = static_cast<std::size_t>(c - '0');
        if (index > (limit - digit) / 10) return limit;
        index = index * 10 + digit;
    }
    return index;
}

}  // namespace

// One pass over the name: every "channel_" is tried in turn, and a digit run is read once, so
// a name of any length costs time in proportion to its length and no stack.
AcChannelQuery match_ac_channel_query(const std::string& text) {
    static constexpr std::string_view prefix = "channel_";
    const std::string_view name(text);
    AcChannelQuery query;
    for (std::size_t at = name.find(prefix); at != std::string_view::npos; at = name.find(prefix, at + 1)) {
        const std::size_t first = at + prefix.size();
        std::size_t end = first;
        while (end < name.size() && is_digit(name[end])) ++end;
        // At least one digit, then '_' and one more character on the same line.
        if (end == first || end + 1 >= name.size() || name[end] != '_' || is_line_break(name[end + 1])) continue;
        query.matched = true;
        query.index = channel_index(name.substr(first, end - first));
        query.field = name[end + 1];
        return query;
    }
    return query;
}
