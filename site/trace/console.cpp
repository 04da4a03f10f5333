#include "site/trace/console.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>

#include "site/host/time_text.h"

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

struct ConsoleState {
    std::mutex mutex;
    std::atomic<Level> shown{Level::Info};
    std::FILE* out = nullptr;  // nullptr: stdout
    bool closed = false;
    void (*onClosed)() = nullptr;
};

ConsoleState& state() {
    static ConsoleState console;
    return console;
}

}  // namespace

void set_console_level(Level level) { state().shown = level; }

bool console_shows(Level level) { return level >= state().shown.load(); }

void set_console_output(std::FILE* out) {
    ConsoleState& console = state();
    std::lock_guard<std::mutex> lock(console.mutex);
    console.out = out;
}

void on_console_closed(void (*handler)()) {
    ConsoleState& console = state();
    std::lock_guard<std::mutex> lock(console.mutex);
    console.onClosed = handler;
}

void console(Level level, const std::string& text) {
    if (!console_shows(level)) return;
    const std::string stamp = local_time_seconds(std::time(nullptr));
    ConsoleState& console = state();
    void (*closedNow)() = nullptr;
    {
        std::lock_guard<std::mutex> lock(console.mutex);
        const bool toStdout = level < Level::Warn;
        if (toStdout && console.closed) return;
        std::FILE* out = !toStdout ? stderr : console.out != nullptr ? console.out : stdout;
        std::fprintf(out, "%s %s %s\n", stamp.c_str(), level_name(level), text.c_str());
        if (std::fflush(out) != 0 && toStdout && errno == EPIPE) {
            console.closed = true;
            closedNow = console.onClosed;
        }
    }
    if (closedNow != nullptr) closedNow();
}

}  // namespace site
