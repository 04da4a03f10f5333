#include "site/host/time_text.h"

#include <cstdio>

namespace site {
namespace {

std::string time_text(std::time_t seconds, bool utc, const char* format) {
    std::tm parts{};
    if (utc) {
        gmtime_r(&seconds, &parts);
    } else {
        localtime_r(&seconds, &parts);
    }
    char text[48];
    const std::size_t n = std::strftime(text, sizeof text, format, &parts);
    return std::string(text, n);
}

std::string time_text_ms(std::int64_t ms, bool utc, const char* format) {
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>(ms % 1000));
    return time_text(static_cast<std::time_t>(ms / 1000), utc, format) + millis;
}

// Reads `count` digits at `pos` into `value`.
bool read_digits(const std::string& text, std::size_t& pos, int count, int& value) {
    if (pos + static_cast<std::size_t>(count) > text.size()) return false;
    value = 0;
    for (int i = 0; i < count; ++i, ++pos) {
        if (text[pos] < '0' || text[pos] > '9') return false;
        value = value * 10 + (text[pos] - '0');
    }
    return true;
}

bool read_char(const std::string& text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

// "Z", "+HH:MM", "+HHMM" or "-..." at `pos`: seconds east of UTC.
bool read_offset(const std::string& text, std::size_t& pos, long& seconds) {
    if (read_char(text, pos, 'Z')) return true;
    const bool east = read_char(text, pos, '+');
    if (!east && !read_char(text, pos, '-')) return false;
    int hours = 0;
    int minutes = 0;
    if (!read_digits(text, pos, 2, hours)) return false;
    read_char(text, pos, ':');
    if (!read_digits(text, pos, 2, minutes) || hours > 23 || minutes > 59) return false;
    seconds = (east ? 1 : -1) * (hours * 3600L + minutes * 60L);
    return true;
}

}  // namespace

std::string local_time_seconds(std::time_t time) { return time_text(time, false, "%Y-%m-%d %H:%M:%S"); }

std::string iso_local_time(std::chrono::system_clock::time_point time) {
    std::string out = time_text(std::chrono::system_clock::to_time_t(time), false, "%Y-%m-%dT%H:%M:%S%z");
    if (out.size() >= 5) out.insert(out.size() - 2, 1, ':');  // +0100 -> +01:00
    return out;
}

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string local_time_text(std::int64_t ms) { return time_text_ms(ms, false, "%Y-%m-%d %H:%M:%S"); }

std::string utc_time_text(std::int64_t ms) { return time_text_ms(ms, true, "%Y-%m-%dT%H:%M:%S") + "+00:00"; }

std::string file_time_text(std::int64_t ms) {
    return time_text(static_cast<std::time_t>(ms / 1000), false, "%Y%m%d-%H%M%S");
}

std::optional<std::int64_t> parse_time_text(const std::string& text) {
    std::size_t pos = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    if (!read_digits(text, pos, 4, year) || !read_char(text, pos, '-') || !read_digits(text, pos, 2, month) ||
        !read_char(text, pos, '-') || !read_digits(text, pos, 2, day))
        return std::nullopt;
    if (read_char(text, pos, 'T') || read_char(text, pos, ' ')) {
        if (!read_digits(text, pos, 2, hour) || !read_char(text, pos, ':') || !read_digits(text, pos, 2, minute))
            return std::nullopt;
        if (read_char(text, pos, ':') && !read_digits(text, pos, 2, second)) return std::nullopt;
        if (read_char(text, pos, '.')) {
            int digit = 0;
            int scale = 100;
            if (!read_digits(text, pos, 1, digit)) return std::nullopt;
            do {
                millis += digit * scale;
                scale /= 10;
            } while (read_digits(text, pos, 1, digit));
        }
    }
    long offset = 0;
    const bool local = pos == text.size();
    if (!local && (!read_offset(text, pos, offset) || pos != text.size())) return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    const std::time_t seconds = local ? std::mktime(&parts) : timegm(&parts) - offset;
    if (parts.tm_mday != day) return std::nullopt;  // 31 April and the like
    return static_cast<std::int64_t>(seconds) * 1000 + millis;
}

}  // namespace site
