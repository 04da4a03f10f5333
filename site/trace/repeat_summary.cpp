#include "site/trace/repeat_summary.h"

#include <utility>

namespace site {

RepeatSummary::RepeatSummary(Say say, Clock::duration period) : say_(std::move(say)), period_(period) {}

void RepeatSummary::say(Level level, const std::string& text, Clock::time_point now) { say(level, text, text, now); }

void RepeatSummary::say(Level level, const std::string& text, const std::string& kind, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    show_due(now);
    const auto [seen, isNew] = seen_.try_emplace(kind, Seen{level, now, 0});
    if (isNew) {
        say_(level, text);
    } else {
        ++seen->second.again;
    }
}

void RepeatSummary::flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [kind, seen] : seen_)
        if (seen.again != 0) show_count(kind, seen);
}

void RepeatSummary::show_due(Clock::time_point now) {
    for (auto entry = seen_.begin(); entry != seen_.end();) {
        Seen& seen = entry->second;
        if (now - seen.since < period_) {
            ++entry;
        } else if (seen.again == 0) {
            entry = seen_.erase(entry);
        } else {
            show_count(entry->first, seen);
            seen.since = now;
            ++entry;
        }
    }
}

void RepeatSummary::show_count(const std::string& kind, Seen& seen) {
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(period_).count();
    say_(seen.level, kind + " (" + std::to_string(seen.again) + " more in " + std::to_string(minutes) + " min)");
    seen.again = 0;
}

}  // namespace site
