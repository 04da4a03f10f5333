#include "site/console.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace site {
namespace {

const char* level_name(Level level) {
    switch (level) {
        case Level::Debug: return "debug";
        case Level::Info: return "info ";
        case Level::Warn: return "warn ";
        case Level::Error: return "error";
    }
    return "";
}

}  // namespace

void console(Level level, const std::string& text) {
    static std::mutex mutex;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::FILE* out = level >= Level::Warn ? stderr : stdout;
    std::lock_guard<std::mutex> lock(mutex);
    std::fprintf(out, "%s %s %s\n", stamp, level_name(level), text.c_str());
    std::fflush(out);
}

}  // namespace site
