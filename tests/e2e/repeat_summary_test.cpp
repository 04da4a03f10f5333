// A console line said again and again: shown once, then counted, the count shown per period.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "site/trace/repeat_summary.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = site::RepeatSummary::Clock;

TEST(RepeatSummary, ShowsATextOnceThenItsCountPerPeriodAndAQuietTextAsNew) {
    std::vector<std::string> shown;
    site::RepeatSummary repeats([&](site::Level, const std::string& text) { shown.push_back(text); }, 10min);
    const Clock::time_point start{};
    repeats.say(site::Level::Warn, "line failed", start);
    repeats.say(site::Level::Info, "line working again", start + 1s);
    for (int i = 1; i <= 30; ++i) {
        repeats.say(site::Level::Warn, "line failed", start + i * 10s);
        repeats.say(site::Level::Info, "line working again", start + i * 10s + 1s);
    }
    EXPECT_EQ(shown, (std::vector<std::string>{"line failed", "line working again"}));

    // The period is over: the counts come with the next line said, each text's own.
    repeats.say(site::Level::Warn, "other", start + 10min + 2s);
    EXPECT_EQ(shown, (std::vector<std::string>{"line failed", "line working again", "line failed (30 more in 10 min)",
                                               "line working again (30 more in 10 min)", "other"}));
    // A new period of counting; what is left is shown at the end.
    repeats.say(site::Level::Warn, "line failed", start + 11min);
    repeats.flush();
    EXPECT_EQ(shown.back(), "line failed (1 more in 10 min)");
    repeats.flush();
    EXPECT_EQ(shown.size(), 6u) << "a count is shown once";

    // Quiet for a whole period: shown as new, not counted.
    repeats.say(site::Level::Warn, "other", start + 30min);
    EXPECT_EQ(shown.back(), "other");
    EXPECT_EQ(shown.size(), 7u);
}

TEST(RepeatSummary, LinesOfOneKindAreShownOnceAndCountedUnderTheKind) {
    std::vector<std::string> shown;
    site::RepeatSummary repeats([&](site::Level, const std::string& text) { shown.push_back(text); });
    const std::string kind = "device 1: plug-in log lines";
    repeats.say(site::Level::Warn, "device 1: read 40_41 overflow 3 - 5", kind, Clock::time_point{});
    repeats.say(site::Level::Warn, "device 1: read 42_44 p is 2 not 3", kind, Clock::time_point{} + 1s);
    repeats.say(site::Level::Warn, "device 2: read 42_44 p is 2 not 3", "device 2: plug-in log lines",
                Clock::time_point{} + 2s);
    repeats.flush();
    EXPECT_EQ(shown,
              (std::vector<std::string>{"device 1: read 40_41 overflow 3 - 5", "device 2: read 42_44 p is 2 not 3",
                                        "device 1: plug-in log lines (1 more in 10 min)"}));
}

}  // namespace
}  // namespace e2e
