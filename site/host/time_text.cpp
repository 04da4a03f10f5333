#include "site/host/time_text.h"

namespace site {
namespace {

std::string local_text(std::time_t time, const char* format) {
    std::tm local{};
    localtime_r(&time, &local);
    char text[48];
    const std::size_t n = std::strftime(text, sizeof text, format, &local);
    return std::string(text, n);
}

}  // namespace

std::string local_time_seconds(std::time_t time) { return local_text(time, "%Y-%m-%d %H:%M:%S"); }

std::string iso_local_time(std::chrono::system_clock::time_point time) {
    std::string out = local_text(std::chrono::system_clock::to_time_t(time), "%Y-%m-%dT%H:%M:%S%z");
    if (out.size() >= 5) out.insert(out.size() - 2, 1, ':');  // +0100 -> +01:00
    return out;
}

}  // namespace site
