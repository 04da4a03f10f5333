// Answer times learned per request kind, end to end over a pseudo-terminal: a system that is
// slow on every answer is waited for once its answers have been seen, and a line that falls
// silent is given up on as fast as with a fixed reply timeout.
#include <algorithm>

#include "site_fixture.h"

namespace e2e {
namespace {

using site::EventKind;
using Clock = std::chrono::steady_clock;

// Reply timeouts after the first Round event.
std::size_t timeouts_after_first_round(const site::Recorder& recorder) {
    const std::vector<site::Event> events = recorder.events();
    const auto first =
        std::find_if(events.begin(), events.end(), [](const site::Event& e) { return e.kind == EventKind::Round; });
    return static_cast<std::size_t>(
        std::count_if(first, events.end(), [](const site::Event& e) { return e.kind == EventKind::Timeout; }));
}

std::size_t protocol_errors(const site::Recorder& recorder) {
    std::size_t errors = 0;
    for (const site::Event& log : recorder.of(EventKind::Log))
        errors += log.format.find("ProcotolError") != std::string::npos ? 1 : 0;
    return errors;
}

// Every answer comes 120 ms after its request, beyond the 100 ms reply timeout: in the first
// round each request times out once, its answer comes in the settle time and its kind is
// waited for longer from then on (up to 200 ms). No later round waits in vain, and every round
// publishes the system's values.
TEST(AnswerTime, EveryAnswerSlowerThanTheReplyTimeoutIsWaitedForAfterTheFirstRound) {
    TempDir dir;
    sim::SimConfig config = quiet_system();
    config.faults.slow = 1;
    config.faults.delay = std::chrono::milliseconds(120);
    SimulatedSystem line(config);
    Json::Value system = system_json(1, line.port);
    system["settle_ms"] = 100;
    HostRun run(site_of({system}), options_for(dir, 3));
    run.run(std::chrono::seconds(30));

    const site::SystemRunner& runner = *run.host->runners().front();
    ASSERT_EQ(runner.rounds(), 3u);
    EXPECT_GE(runner.line_counts().replyTimeouts, 1u);
    EXPECT_EQ(timeouts_after_first_round(*run.recorder), 0u) << runner.line_counts().text(true);
    EXPECT_EQ(protocol_errors(*run.recorder), 0u);
    for (const unsigned id : {ac_id(1, 0), ac_id(1, 1), dc_id(1, 0), dc_id(1, 1), 1u})
        EXPECT_EQ(published_fields(*run.recorder, id).size(), 3u) << "unit " << id;
    const std::vector<site::Event> times = run.recorder->of(EventKind::AnswerTimes);
    ASSERT_EQ(times.size(), 3u);
    EXPECT_GE(times.back().answerTimes.size(), 8u);
    for (const line::AnswerTimer::Learned& learned : times.back().answerTimes) {
        EXPECT_GE(learned.answer, std::chrono::milliseconds(120)) << line::kind_text(learned.kind);
        EXPECT_GT(learned.wait, learned.answer + std::chrono::milliseconds(50)) << line::kind_text(learned.kind);
        EXPECT_LE(learned.wait, std::chrono::milliseconds(200)) << line::kind_text(learned.kind);
    }
    EXPECT_EQ(runner.answer_times_text().rfind("answer times 4", 0), 0u) << runner.answer_times_text();
}

// The system answers two rounds, then nothing: the host gives up one second after the last
// round, learned or fixed alike, and the console tells it.
TEST(AnswerTime, ALineFallenSilentIsGivenUpOnAsFastAsWithAFixedReplyTimeout) {
    for (const bool adaptive : {true, false}) {
        SCOPED_TRACE(adaptive ? "learned" : "fixed");
        TempDir dir;
        SimulatedSystem line;
        Json::Value system = system_json(1, line.port);
        system["give_up_s"] = 1;
        system["reply_timeout_adaptive"] = adaptive;
        HostRun run(site_of({system}), options_for(dir, 10));
        Clock::time_point silentSince{};
        run.hook->onRound = [&](unsigned, int round) {
            if (round != 2) return;
            sim::Faults silent;
            silent.drop = 1;
            line.simulator->set_faults(silent);
            silentSince = Clock::now();
        };
        const Clock::time_point start = Clock::now();
        run.run(std::chrono::seconds(20));
        const double silence = std::chrono::duration<double>(Clock::now() - silentSince).count();

        const site::SystemRunner& runner = *run.host->runners().front();
        EXPECT_EQ(runner.rounds(), 2u);
        EXPECT_EQ(runner.gave_up().rfind("no complete round in 1 s: ", 0), 0u) << runner.gave_up();
        EXPECT_NE(run.console_lines().find("power system 1: no complete round in 1 s"), std::string::npos)
            << run.console_lines();
        EXPECT_GE(silence, 0.9);
        EXPECT_LT(silence, 1.5) << std::chrono::duration<double>(Clock::now() - start).count() << " s in all";
    }
}

}  // namespace
}  // namespace e2e
