#include <gtest/gtest.h>

#include <chrono>

#include "line/answer_timer.h"

namespace {

using line::AnswerTimer;
using line::RequestKind;
using std::chrono::milliseconds;

constexpr RequestKind kStatus{0x42, 0x44};
constexpr RequestKind kAnalog{0x41, 0x41};

// A reply timeout of 1.5 s: first wait 1.5 s, floor 375 ms, ceiling 3 s.
AnswerTimer timer() { return AnswerTimer(AnswerTimer::limits_for(milliseconds(1500))); }

TEST(AnswerTimer, LimitsFollowTheReplyTimeout) {
    const AnswerTimer::Limits limits = AnswerTimer::limits_for(milliseconds(1000));
    EXPECT_EQ(limits.first, milliseconds(1000));
    EXPECT_EQ(limits.floor, milliseconds(250));
    EXPECT_EQ(limits.ceiling, milliseconds(2000));
    EXPECT_EQ(line::kind_text(kStatus), "42/44");
}

TEST(AnswerTimer, AKindNotYetAnsweredWaitsTheFirstWait) {
    AnswerTimer t = timer();
    t.answered(kAnalog, milliseconds(400));
    EXPECT_EQ(t.wait(kStatus), milliseconds(1500));
    EXPECT_TRUE(t.learned().size() == 1 && t.learned().front().kind == kAnalog);
}

TEST(AnswerTimer, SteadyAnswersConvergeToTheirTimeWithHalfOfItAsMargin) {
    AnswerTimer t = timer();
    t.answered(kAnalog, milliseconds(1200));
    // The first answer: deviation half of it, four deviations of margin, capped at the ceiling.
    EXPECT_EQ(t.wait(kAnalog), milliseconds(3000));
    for (int i = 0; i < 40; ++i) t.answered(kAnalog, milliseconds(1200));
    const AnswerTimer::Learned learned = t.learned().front();
    EXPECT_NEAR(std::chrono::duration<double>(learned.answer).count(), 1.2, 0.001);
    EXPECT_NEAR(std::chrono::duration<double>(learned.wait).count(), 1.8, 0.01);
    EXPECT_EQ(learned.wait, t.wait(kAnalog));
}

TEST(AnswerTimer, KindsAreLearnedApart) {
    AnswerTimer t = timer();
    for (int i = 0; i < 40; ++i) {
        t.answered(kAnalog, milliseconds(1000));
        t.answered(kStatus, milliseconds(600));
    }
    EXPECT_NEAR(std::chrono::duration<double>(t.wait(kAnalog)).count(), 1.5, 0.01);
    EXPECT_NEAR(std::chrono::duration<double>(t.wait(kStatus)).count(), 0.9, 0.01);
}

TEST(AnswerTimer, ASingleSlowAnswerIsSmoothedAndForgotten) {
    AnswerTimer t = timer();
    for (int i = 0; i < 40; ++i) t.answered(kAnalog, milliseconds(1000));
    const auto steady = t.wait(kAnalog);
    t.answered(kAnalog, milliseconds(2000));
    const auto after = t.wait(kAnalog);
    EXPECT_GT(after, steady);
    // One outlier moves the mean by an eighth of its distance; the margin covers its kind.
    EXPECT_NEAR(std::chrono::duration<double>(t.learned().front().answer).count(), 1.125, 0.001);
    EXPECT_GE(after, milliseconds(2000));
    for (int i = 0; i < 40; ++i) t.answered(kAnalog, milliseconds(1000));
    EXPECT_NEAR(std::chrono::duration<double>(t.wait(kAnalog)).count(), 1.5, 0.01);
}

TEST(AnswerTimer, ALateAnswerRaisesTheWaitAtOnce) {
    AnswerTimer t = timer();
    for (int i = 0; i < 40; ++i) t.answered(kStatus, milliseconds(800));
    ASSERT_LT(t.wait(kStatus), milliseconds(1300));
    t.late(kStatus, milliseconds(1300));
    EXPECT_GE(t.wait(kStatus), milliseconds(1950));
    EXPECT_EQ(t.learned().front().answer, milliseconds(1300));
    // A late answer of a kind never answered in time is learned as well.
    t.late(kAnalog, milliseconds(1700));
    EXPECT_EQ(t.wait(kAnalog), milliseconds(3000));
}

TEST(AnswerTimer, FastAnswersNeverWaitLessThanTheFloor) {
    AnswerTimer t = timer();
    for (int i = 0; i < 40; ++i) t.answered(kStatus, milliseconds(30));
    EXPECT_EQ(t.wait(kStatus), milliseconds(375));
}

TEST(AnswerTimer, NothingLearnedGoesPastTheCeiling) {
    AnswerTimer t = timer();
    t.late(kStatus, milliseconds(60000));
    for (int i = 0; i < 10; ++i) t.answered(kAnalog, milliseconds(10000));
    EXPECT_EQ(t.wait(kStatus), milliseconds(3000));
    EXPECT_EQ(t.wait(kAnalog), milliseconds(3000));
    for (const AnswerTimer::Learned& learned : t.learned()) EXPECT_LE(learned.answer, milliseconds(3000));
}

}  // namespace
