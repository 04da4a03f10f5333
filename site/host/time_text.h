#pragma once
#include <chrono>
#include <ctime>
#include <string>

// The host's timestamps for people and for its outputs, all in local time.
namespace site {

// "2026-12-08 13:01:02": console lines.
std::string local_time_seconds(std::time_t time);

// "2026-12-08T13:01:02+01:00": ISO 8601 with the local offset, for MQTT messages.
std::string iso_local_time(std::chrono::system_clock::time_point time);

}  // namespace site
