#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "site/trace/console.h"

namespace site {

// Keeps a console readable for months when the same line would come again and again (a line
// failing every few seconds, a warning every round): the first line of a kind is shown; more
// of that kind within `period` are only counted, and the count is shown once the period is
// over ("KIND (57 more in 10 min)"), with the next line said or at flush(). A kind not
// seen for a whole period is shown again as new. Safe from any thread.
class RepeatSummary {
public:
    using Clock = std::chrono::steady_clock;
    using Say = std::function<void(Level, const std::string&)>;

    explicit RepeatSummary(Say say, Clock::duration period = std::chrono::minutes(10));

    // A line of its own kind: lines are alike when their texts are.
    void say(Level level, const std::string& text, Clock::time_point now = Clock::now());
    // A line of the kind `kind` (lines whose texts differ in their numbers, say).
    void say(Level level, const std::string& text, const std::string& kind, Clock::time_point now = Clock::now());
    // Shows the counts not shown yet (at the end of a run).
    void flush();

private:
    struct Seen {
        Level level = Level::Info;
        Clock::time_point since;
        std::uint64_t again = 0;
    };

    // Shows and restarts the counts whose period is over; drops kinds not seen for a period.
    void show_due(Clock::time_point now);
    void show_count(const std::string& kind, Seen& seen);

    Say say_;
    Clock::duration period_;
    std::mutex mutex_;
    std::map<std::string, Seen> seen_;
};

}  // namespace site
