#pragma once
#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

// The host's timestamps for people, its outputs and its history.
namespace site {

// "2026-12-08 13:01:02" in local time: console lines.
std::string local_time_seconds(std::time_t time);

// "2026-12-08T13:01:02+01:00": ISO 8601 with the local offset, for MQTT messages.
std::string iso_local_time(std::chrono::system_clock::time_point time);

std::int64_t now_ms();
// Local time "YYYY-MM-DD HH:MM:SS.mmm".
std::string local_time_text(std::int64_t ms);
// UTC in ISO 8601 with its offset, "YYYY-MM-DDTHH:MM:SS.mmm+00:00": sorts as text in time order.
std::string utc_time_text(std::int64_t ms);
// Local time for a file name, "YYYYMMDD-HHMMSS".
std::string file_time_text(std::int64_t ms);
// Reads "YYYY-MM-DD", optionally followed by "THH:MM" or " HH:MM", ":SS", ".fff", and "Z" or
// an offset "+HH:MM"; without an offset the time is local. Milliseconds since the epoch, or
// nothing when the text is not such a time.
std::optional<std::int64_t> parse_time_text(const std::string& text);

}  // namespace site
