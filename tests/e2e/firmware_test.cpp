// Firmware as it is found in the field, end to end over a pseudo-terminal: a command it never
// answers, a command it answers with an error code, and answers that come late followed by the
// answer to the repeated request as well. Every round publishes every unit with the values the
// system gave, and no answer is ever taken for another request's.
#include <algorithm>

#include "site_fixture.h"

namespace e2e {
namespace {

using site::EventKind;

std::vector<unsigned> all_units() { return {ac_id(1, 0), ac_id(1, 1), dc_id(1, 0), dc_id(1, 1), 1u}; }

Json::Value timeless(Json::Value fields) {
    fields.removeMember("update_time");
    return fields;
}

// Every unit published in every round, each image as the first round's (the time stamp aside).
void expect_every_round_like_the_first(const site::Recorder& recorder, std::size_t rounds) {
    for (const unsigned id : all_units()) {
        const std::vector<Json::Value> images = published_fields(recorder, id);
        ASSERT_EQ(images.size(), rounds) << "unit " << id;
        for (std::size_t r = 1; r < rounds; ++r)
            EXPECT_EQ(timeless(images[r]), timeless(images[0])) << "unit " << id << ", round " << r + 1;
    }
}

std::size_t requests_for(const site::Recorder& recorder, std::uint8_t cid1, std::uint8_t cid2) {
    const std::vector<site::Event> requests = recorder.of(EventKind::Request);
    return static_cast<std::size_t>(std::count_if(
        requests.begin(), requests.end(), [&](const site::Event& e) { return e.cid1 == cid1 && e.cid2 == cid2; }));
}

// 42/44 is never answered: three rounds pay three reply timeouts each for it, then it rests and
// is asked once in the tenth round. The DC units publish their analog values every round; their
// alarm states stay as nothing ever set them.
TEST(Firmware, ACommandNeverAnsweredCostsThreeRoundsThenRests) {
    TempDir dir;
    sim::SimConfig config = quiet_system();
    config.faults.neverAnswer = 0x4244;
    SimulatedSystem line(config);
    HostRun run(site_of({system_json(1, line.port)}), options_for(dir, 6));
    run.run(std::chrono::seconds(30));

    ASSERT_EQ(run.host->runners().front()->rounds(), 6u);
    expect_every_round_like_the_first(*run.recorder, 6);
    EXPECT_EQ(requests_for(*run.recorder, 0x42, 0x44), 9u);
    EXPECT_EQ(line.simulator->stats().unanswered, 9u);
    EXPECT_EQ(run.host->runners().front()->line_counts().replyTimeouts, 9u);
    for (unsigned unit = 0; unit < 2; ++unit) {
        const Json::Value image = published_fields(*run.recorder, dc_id(1, unit)).back();
        EXPECT_EQ(image["voltage"].asFloat(), 53.5f - 0.25f * static_cast<float>(unit));
        EXPECT_EQ(image["alert_p_count"].asUInt(), 0u);
    }
}

// 42/46 is answered with RTN 0x04 (invalid CID2): each such answer ends the exchange at once,
// without a reply timeout; after three rounds the step rests.
TEST(Firmware, ACommandAnsweredWithAnErrorCodeEndsEachExchangeAtOnce) {
    TempDir dir;
    sim::SimConfig config = quiet_system();
    config.faults.rtnCommand = 0x4246;
    config.faults.rtn = 0x04;
    SimulatedSystem line(config);
    HostRun run(site_of({system_json(1, line.port)}), options_for(dir, 5));
    run.run(std::chrono::seconds(30));

    ASSERT_EQ(run.host->runners().front()->rounds(), 5u);
    expect_every_round_like_the_first(*run.recorder, 5);
    const site::LineCounts counts = run.host->runners().front()->line_counts();
    EXPECT_EQ(counts.replyTimeouts, 0u) << counts.text(true);
    EXPECT_EQ(counts.refused.at("RTN 0x04"), 9u) << counts.text(true);
    EXPECT_EQ(requests_for(*run.recorder, 0x42, 0x46), 9u);
    EXPECT_EQ(run.recorder->count(EventKind::Timeout), 0u);
}

// Every fifth answer comes after the reply timeout and after the settle time, and the repeated
// request is answered too: the late answer is taken for the repeat, the repeat's own answer is
// dropped while the line falls quiet, and nothing is taken for the next request.
TEST(Firmware, ALateAnswerFollowedByTheAnswerToTheRepeatIsTakenOnce) {
    TempDir dir;
    sim::SimConfig config = quiet_system();
    config.faults.lateEvery = 5;
    config.faults.delay = std::chrono::milliseconds(250);
    SimulatedSystem line(config);
    Json::Value system = system_json(1, line.port);
    system["reply_timeout_ms"] = 100;
    system["settle_ms"] = 50;
    HostRun run(site_of({system}), options_for(dir, 2));
    run.run(std::chrono::seconds(30));

    ASSERT_EQ(run.host->runners().front()->rounds(), 2u);
    expect_every_round_like_the_first(*run.recorder, 2);
    const site::LineCounts counts = run.host->runners().front()->line_counts();
    EXPECT_GE(line.simulator->stats().slowed, 3u);
    EXPECT_GE(counts.replyTimeouts, 3u);
    EXPECT_GE(counts.lateAnswers, 3u) << counts.text(true);
    EXPECT_TRUE(counts.protocolErrors.empty()) << counts.text(true);
    EXPECT_EQ(counts.refused_total(), 0u) << counts.text(true);
}

TEST(Firmware, TheSimulatorReadsTheNewFaultsFromItsConfiguration) {
    Json::Value faults;
    faults["never_answer"] = "42/44";
    faults["rtn"] = "42/46:04";
    const sim::Faults read = sim::faults_from_json(faults);
    EXPECT_EQ(read.neverAnswer, 0x4244);
    EXPECT_EQ(read.rtnCommand, 0x4246);
    EXPECT_EQ(read.rtn, 0x04);
    faults["rtn"] = "42/46";
    EXPECT_THROW(sim::faults_from_json(faults), std::runtime_error);
    faults["rtn"] = "42/46:4G";
    EXPECT_THROW(sim::faults_from_json(faults), std::runtime_error);
    faults.removeMember("rtn");
    faults["never_answer"] = 4244;
    EXPECT_THROW(sim::faults_from_json(faults), std::runtime_error);
}

}  // namespace
}  // namespace e2e
