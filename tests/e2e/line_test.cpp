// The site host and simulated power systems over pseudo-terminals, in one process.
#include <algorithm>
#include <fstream>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "line/frame.h"
#include "site/host/host_access.h"
#include "site/store/history_writer.h"
#include "site_fixture.h"

namespace e2e {
namespace {

using site::EventKind;

std::size_t index_of_nth(const std::vector<site::Event>& events, EventKind kind, int nth, unsigned device = 0) {
    int seen = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind != kind || (device != 0 && events[i].device != device)) continue;
        if (++seen == nth) return i;
    }
    return events.size();
}

std::vector<std::pair<int, int>> requests_of_round(const std::vector<site::Event>& events, int round) {
    const std::size_t from = round == 1 ? 0 : index_of_nth(events, EventKind::Round, round - 1);
    const std::size_t to = index_of_nth(events, EventKind::Round, round);
    std::vector<std::pair<int, int>> requests;
    for (std::size_t i = from; i < to && i < events.size(); ++i)
        if (events[i].kind == EventKind::Request) requests.emplace_back(events[i].cid1, events[i].cid2);
    return requests;
}

TEST(SiteRounds, PublishedImagesCarryTheSimulatorsValues) {
    TempDir dir;
    SimulatedSystem line;
    HostRun run(site_of({system_json(1, line.port)}), options_for(dir, 3));
    run.run();

    const auto ac0 = published_fields(*run.recorder, ac_id(1, 0));
    const auto ac1 = published_fields(*run.recorder, ac_id(1, 1));
    ASSERT_EQ(ac0.size(), 3u);
    ASSERT_EQ(ac1.size(), 3u);
    EXPECT_EQ(ac0.back()["ia"].asFloat(), 21.5f);
    EXPECT_EQ(ac0.back()["ib"].asFloat(), 20.25f);
    EXPECT_EQ(ac0.back()["ic"].asFloat(), 22.125f);
    ASSERT_EQ(ac1.back()["channels"].size(), 2u);
    EXPECT_EQ(ac1.back()["ia"].asFloat(), 22.5f);
    EXPECT_EQ(ac1.back()["channels"][1]["a"].asFloat(), 382.5f);
    EXPECT_EQ(ac1.back()["channels"][1]["f"].asFloat(), 50.0f);

    const auto dc1 = published_fields(*run.recorder, dc_id(1, 1));
    ASSERT_EQ(dc1.size(), 3u);
    EXPECT_EQ(dc1.back()["voltage"].asFloat(), 53.25f);
    EXPECT_EQ(dc1.back()["current"].asFloat(), 62.75f);
    EXPECT_EQ(dc1.back()["dc_m"].asUInt(), 2u);
    EXPECT_EQ(dc1.back()["m_value"][1].asFloat(), 5.0f);
    EXPECT_EQ(dc1.back()["dc_n"].asUInt(), 4u);
    EXPECT_EQ(dc1.back()["n_value"][3].asFloat(), 15.0f);

    const auto rc = published_fields(*run.recorder, 1);
    ASSERT_EQ(rc.size(), 3u);
    EXPECT_EQ(rc.back()["output_voltage"].asFloat(), 53.75f);
    ASSERT_EQ(rc.back()["modules"].size(), 4u);
    for (unsigned m = 0; m < 4; ++m)
        EXPECT_EQ(rc.back()["modules"][m]["output_current"].asFloat(), 16.5f + 0.25f * static_cast<float>(m));

    // Every round is saved once per unit, each image as it was published.
    site::HistoryStore& store = run.host->store();
    EXPECT_EQ(store.count(), 15u);
    for (const unsigned id : {ac_id(1, 0), ac_id(1, 1), dc_id(1, 0), dc_id(1, 1), 1u}) EXPECT_EQ(store.count(id), 3u);
    const auto newest = store.newest(1);
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->record, site::kRcRecord);
    EXPECT_EQ(newest->image, run.recorder->of(EventKind::Publish).back().bytes);

    const std::string out = run.output();
    EXPECT_NE(out.find("round 3"), std::string::npos) << out;
    EXPECT_NE(out.find("AC 101: Ia 21.50 A, Ib 20.25 A"), std::string::npos) << out;
    EXPECT_NE(out.find("RC 1: 53.75 V, 4 modules: 16.50 16.75 17.00 17.25 A"), std::string::npos) << out;
}

// Answers arrive a few characters at a time, as from a real line; the host waits for the rest
// of each frame without losing or refusing any of it.
TEST(SiteRounds, AnswersArrivingInPiecesAtTheLinesPaceAreAllTaken) {
    TempDir dir;
    sim::SimConfig paced = quiet_system();
    paced.baud = 19200;
    SimulatedSystem line(paced);
    Json::Value system = system_json(1, line.port);
    system["reply_timeout_ms"] = 2000;
    HostRun run(site_of({system}), options_for(dir, 2));
    run.run();

    const site::SystemRunner& runner = *run.host->runners().front();
    EXPECT_EQ(runner.rounds(), 2u);
    EXPECT_EQ(runner.timeouts(), 0u);
    EXPECT_EQ(runner.rejected(), 0u);
    const auto rc = published_fields(*run.recorder, 1);
    ASSERT_EQ(rc.size(), 2u);
    EXPECT_EQ(rc.back()["output_voltage"].asFloat(), 53.75f);
    const auto ac1 = published_fields(*run.recorder, ac_id(1, 1));
    ASSERT_EQ(ac1.size(), 2u);
    EXPECT_EQ(ac1.back()["channels"][1]["a"].asFloat(), 382.5f);
}

TEST(SiteRounds, RoundsFollowTheDeviceCycleAndEndAfterTheRectifierGroup) {
    TempDir dir;
    SimulatedSystem line;
    HostRun run(site_of({system_json(1, line.port)}), options_for(dir, 2));
    run.run();
    const auto events = run.recorder->events();
    const std::vector<std::pair<int, int>> cycle = {{0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44}, {0x41, 0x41},
                                                    {0x41, 0x43}, {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44},
                                                    {0x40, 0x46}, {0x42, 0x46}};
    auto first = cycle;
    first.insert(first.begin(), {0x40, 0x51});
    EXPECT_EQ(requests_of_round(events, 1), first);
    EXPECT_EQ(requests_of_round(events, 2), cycle);
    // Every unit publishes once a round, the rectifier group last, and that ends the round.
    std::vector<unsigned> publishers;
    for (std::size_t i = 0; i < index_of_nth(events, EventKind::Round, 1); ++i)
        if (events[i].kind == EventKind::Publish) publishers.push_back(events[i].device);
    EXPECT_EQ(publishers, (std::vector<unsigned>{ac_id(1, 0), ac_id(1, 1), dc_id(1, 0), dc_id(1, 1), 1u}));
    EXPECT_EQ(run.host->runners().front()->rejected(), 0u);
}

TEST(SiteAlarms, AlarmRaisedInTheSimulatorAppearsThenClears) {
    TempDir dir;
    SimulatedSystem line;
    HostRun run(site_of({system_json(1, line.port)}), options_for(dir, 6));
    sim::Simulator& simulator = *line.simulator;
    run.hook->onRound = [&simulator](unsigned, int round) {
        if (round == 2 || round == 4)
            simulator.update([round](sim::SiteState& s) { s.rectifiers.modules[1].fault = round == 2 ? 1 : 0; });
    };
    run.run();

    const auto events = run.recorder->events();
    const auto raised = run.recorder->of(EventKind::Raised);
    const auto cleared = run.recorder->of(EventKind::Cleared);
    ASSERT_EQ(raised.size(), 1u);
    ASSERT_EQ(cleared.size(), 1u);
    for (const site::Event& change : {raised[0], cleared[0]}) {
        EXPECT_EQ(change.device, 1u);
        EXPECT_EQ(change.code, "06024");
        EXPECT_EQ(change.name, "整流模块故障告警");
        EXPECT_EQ(change.text, "模块2整流模块故障告警");
    }
    const std::size_t raisedAt = index_of_nth(events, EventKind::Raised, 1);
    EXPECT_GT(raisedAt, index_of_nth(events, EventKind::Round, 2));
    EXPECT_LT(raisedAt, index_of_nth(events, EventKind::Round, 3));
    const std::size_t clearedAt = index_of_nth(events, EventKind::Cleared, 1);
    EXPECT_GT(clearedAt, index_of_nth(events, EventKind::Round, 4));
    EXPECT_LT(clearedAt, index_of_nth(events, EventKind::Round, 5));

    const auto rc = published_fields(*run.recorder, 1);
    ASSERT_EQ(rc.size(), 6u);
    EXPECT_EQ(rc[2]["modules"][1]["fault"].asUInt(), 1u);
    EXPECT_EQ(rc[4]["modules"][1]["fault"].asUInt(), 0u);
    const std::string out = run.output();
    EXPECT_NE(out.find("alarm raised  06024 整流模块故障告警: 模块2整流模块故障告警"), std::string::npos) << out;
    EXPECT_NE(out.find("alarm cleared 06024 整流模块故障告警: 模块2整流模块故障告警"), std::string::npos) << out;
    EXPECT_NE(out.find("[fault: 2]"), std::string::npos) << out;
}

TEST(SiteRestart, RestoresFromHistoryAndAnswersQueriesBeforeTheFirstRequest) {
    TempDir dir;
    SimulatedSystem line;
    HostRun(site_of({system_json(1, line.port)}), options_for(dir, 2)).run();

    line.simulator->update([](sim::SiteState& s) { s.dc[0].voltage = 48.0f; });
    site::SiteOptions options = options_for(dir, 1);
    options.queries = {{"v", dc_id(1, 0)}, {"ia", ac_id(1, 0)}, {"channel_0_a", ac_id(1, 1)}, {"v", 1}};
    HostRun again(site_of({system_json(1, line.port)}), options);

    const auto& first = again.host->first_answers();
    ASSERT_EQ(first.size(), 4u);
    EXPECT_FALSE(first[0].failed) << first[0].text;
    EXPECT_EQ(first[0].value, 53.5f);  // the saved round's value, not yet the new one
    EXPECT_EQ(first[1].value, 21.5f);
    EXPECT_EQ(first[2].value, 381.5f);
    EXPECT_TRUE(first[3].failed);
    EXPECT_EQ(first[3].text, "数据未就绪");
    EXPECT_EQ(again.recorder->count(EventKind::Request), 0u);
    EXPECT_NE(again.output().find("restore ktr40e-dc 151: restored from the image of"), std::string::npos);

    again.run();
    const auto queries = again.recorder->of(EventKind::Query);
    ASSERT_EQ(queries.size(), 8u);
    EXPECT_EQ(queries[4].value, 48.0f);
    EXPECT_NE(again.output().find("query v@151 = 48"), std::string::npos) << again.output();
}

TEST(SiteRestart, UnreadableDatabaseIsMovedAsideAndTheHostGoesOn) {
    TempDir dir;
    std::ofstream(dir.file("history.db")) << std::string("SQLite format 3", 16) << "and then only words";
    SimulatedSystem line;
    HostRun run(site_of({system_json(1, line.port)}), options_for(dir, 1));
    EXPECT_NE(run.warnings.find("moved it to " + dir.file("history.db.unreadable-")), std::string::npos)
        << run.warnings;
    run.run();
    EXPECT_EQ(run.host->store().count(), 5u);
}

site::SiteConfig faulty_site(const std::string& port, int replyMs) {
    Json::Value system = system_json(1, port);
    system["reply_timeout_ms"] = replyMs;
    system["settle_ms"] = 50;  // the simulator answers at once: a short settle keeps the many faults quick
    return site_of({system});
}

TEST(FaultyLine, FortyRoundsWithTenPercentOfAnswersDroppedOrCorrupted) {
    TempDir dir;
    sim::SimConfig config = quiet_system();
    config.faults.drop = 0.05;
    config.faults.corrupt = 0.05;
    config.seed = 11;
    SimulatedSystem line(config);
    constexpr unsigned kRounds = 40;
    HostRun run(faulty_site(line.port, 50), options_for(dir, kRounds));
    run.run(std::chrono::seconds(60));

    const site::SystemRunner& runner = *run.host->runners().front();
    EXPECT_EQ(runner.rounds(), kRounds);
    site::HistoryStore& store = run.host->store();
    for (const unsigned id : {ac_id(1, 0), ac_id(1, 1), dc_id(1, 0), dc_id(1, 1), 1u})
        EXPECT_EQ(store.count(id), kRounds);
    std::size_t undecodable = 0;
    store.for_each(
        [&](const site::StoredImage& s) { undecodable += site::decode_image(s.record, s.image).ok ? 0 : 1; });
    EXPECT_EQ(undecodable, 0u);
    EXPECT_EQ(run.host->history().failed(), 0u);

    // Corrupted answers were refused for their checksum and never reached the device.
    const sim::SimStats stats = line.simulator->stats();
    ASSERT_GT(stats.corrupted, 0u);
    ASSERT_GT(stats.dropped, 0u);
    const auto rejected = run.recorder->of(EventKind::Rejected);
    const auto badChecksum = std::count_if(rejected.begin(), rejected.end(), [](const site::Event& e) {
        return e.text == line::to_string(line::FrameError::BadChecksum);
    });
    // On a busy machine an answer may come after its 50 ms reply timeout: it is then dropped
    // whole as a late answer, never handed over, nor refused.
    const std::uint64_t late = runner.line_counts().lateAnswers;
    EXPECT_LE(static_cast<std::uint64_t>(badChecksum), stats.corrupted);
    EXPECT_GE(static_cast<std::uint64_t>(badChecksum) + late, stats.corrupted);
    EXPECT_EQ(run.recorder->count(EventKind::Answer) + static_cast<std::uint64_t>(badChecksum) + late, stats.answers);
    EXPECT_GE(runner.timeouts(), stats.dropped + stats.corrupted);
}

struct FaultCase {
    const char* name;
    sim::Faults faults;
};

class EachFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(EachFault, LeavesTheCycleRunningAndLosesNoHistory) {
    TempDir dir;
    sim::SimConfig config = quiet_system();
    config.faults = GetParam().faults;
    config.seed = 5;
    SimulatedSystem line(config);
    HostRun run(faulty_site(line.port, 100), options_for(dir, 15));
    run.run();
    EXPECT_EQ(run.host->runners().front()->rounds(), 15u);
    EXPECT_EQ(run.host->store().count(), 15u * 5u);
    const auto rc = published_fields(*run.recorder, 1);
    ASSERT_EQ(rc.size(), 15u);
    EXPECT_EQ(rc.back()["module_count"].asUInt(), 4u);
}

sim::Faults fault(double sim::Faults::*share, double value) {
    sim::Faults faults;
    faults.*share = value;
    return faults;
}

sim::Faults late_answers() {
    sim::Faults faults;
    faults.slow = 0.15;
    faults.delay = std::chrono::milliseconds(150);  // beyond the reply timeout
    return faults;
}

sim::Faults noise() {
    sim::Faults faults;
    faults.noise = 40;
    return faults;
}

INSTANTIATE_TEST_SUITE_P(Faults, EachFault,
                         ::testing::Values(FaultCase{"WrongCid1", fault(&sim::Faults::wrongCid1, 0.15)},
                                           FaultCase{"WrongCount", fault(&sim::Faults::wrongCount, 0.15)},
                                           FaultCase{"LateAnswers", late_answers()}, FaultCase{"Noise", noise()}),
                         [](const ::testing::TestParamInfo<FaultCase>& param) { return param.param.name; });

TEST(ManySystems, OneSlowLineDoesNotDelayAnother) {
    TempDir dir;
    SimulatedSystem quick;
    sim::SimConfig slowConfig = quiet_system();
    slowConfig.faults.slow = 1.0;
    slowConfig.faults.delay = std::chrono::milliseconds(150);
    SimulatedSystem slow(slowConfig);
    Json::Value slowSystem = system_json(2, slow.port);
    slowSystem["reply_timeout_ms"] = 1000;
    site::SiteOptions options = options_for(dir, 3);
    options.loops = 1;
    HostRun run(site_of({system_json(1, quick.port), slowSystem}), options);
    run.run();

    const auto events = run.recorder->events();
    EXPECT_LT(index_of_nth(events, EventKind::Round, 3, 1), index_of_nth(events, EventKind::Round, 1, 2));
    EXPECT_EQ(run.host->store().count(1), 3u);
    EXPECT_EQ(run.host->store().count(2), 3u);
    EXPECT_EQ(run.host->store().count(), 30u);
    EXPECT_EQ(published_fields(*run.recorder, dc_id(2, 0)).back()["voltage"].asFloat(), 53.5f);
}

// Status and alarm requests made in the rounds after the first.
std::size_t later_status_requests(const std::vector<site::Event>& events) {
    std::size_t n = 0;
    for (std::size_t i = index_of_nth(events, EventKind::Round, 1); i < events.size(); ++i)
        if (events[i].kind == EventKind::Request && (events[i].cid2 == 0x43 || events[i].cid2 == 0x44)) ++n;
    return n;
}

TEST(DataFlag, TrustedDataFlagSparesStatusAndAlarmRequestsAfterTheFirstRound) {
    TempDir dir;
    sim::SimConfig config = quiet_system();
    config.dataFlag = sim::DataFlagMode::Never;
    SimulatedSystem line(config);

    HostRun distrusting(site_of({system_json(1, line.port)}), options_for(dir, 3));
    distrusting.run();
    EXPECT_EQ(later_status_requests(distrusting.recorder->events()), 10u);
    EXPECT_FALSE(VRTHostAccess::data_valid(*distrusting.host->runners().front()->system().device));
    distrusting.host.reset();  // lets go of the database and the port

    Json::Value system = system_json(1, line.port);
    system["trust_dataflag"] = true;
    HostRun trusting(site_of({system}), options_for(dir, 3));
    trusting.run();
    EXPECT_EQ(later_status_requests(trusting.recorder->events()), 0u);
    EXPECT_TRUE(VRTHostAccess::data_valid(*trusting.host->runners().front()->system().device));
    EXPECT_EQ(trusting.host->runners().front()->rounds(), 3u);
}

TEST(RoundSpacing, RoundEndStampsTheDeviceUnlessTheGapIsZero) {
    TempDir dir;
    SimulatedSystem line;
    Json::Value spaced = system_json(1, line.port);
    spaced.removeMember("min_round_gap");
    HostRun stamped(site_of({spaced}), options_for(dir, 1));
    stamped.run();
    const auto age = boost::posix_time::second_clock::local_time() -
                     VRTHostAccess::last_update(*stamped.host->runners().front()->system().device);
    EXPECT_LE(age.total_seconds(), 5);
    EXPECT_GE(age.total_seconds(), 0);
    stamped.host.reset();  // lets go of the database and the port

    HostRun unstamped(site_of({system_json(1, line.port)}), options_for(dir, 1));
    unstamped.run();
    EXPECT_EQ(VRTHostAccess::last_update(*unstamped.host->runners().front()->system().device).date().year(), 1970);
}

}  // namespace
}  // namespace e2e
