// A power system that changes while it is polled: modules plugged in and pulled, AC channels
// reconfigured, an image from another device restored at start, more items than the records
// hold, and a step refused on every poll. Every round goes on publishing every unit.
#include <string>

#include "site_fixture.h"

namespace e2e {
namespace {

using site::EventKind;
using Calls = std::vector<std::string>;

std::vector<unsigned> all_units() { return {ac_id(1, 0), ac_id(1, 1), dc_id(1, 0), dc_id(1, 1), 1u}; }

std::string call(const std::string& key, const std::string& text, std::size_t seq) {
    return key + " " + text + " #" + std::to_string(seq);
}

// The alarm calls of `device` in each completed round, in order, as "key text #seq".
std::vector<Calls> alarm_calls_by_round(const site::Recorder& recorder, unsigned device) {
    std::vector<Calls> rounds(1);
    for (const site::Event& e : recorder.events()) {
        if (e.kind == EventKind::Round) {
            rounds.emplace_back();
        } else if ((e.kind == EventKind::Alarm || e.kind == EventKind::AlertMap) && e.device == device) {
            rounds.back().push_back(call(e.key, e.text, e.seq));
        }
    }
    rounds.pop_back();  // calls after the last round: none
    return rounds;
}

// The rectifier group's calls for `modules` modules: the fault alarm of each, then the
// communication alarm of each.
Calls rectifier_calls(std::size_t modules) {
    Calls calls;
    for (std::size_t m = 1; m <= modules; ++m)
        calls.push_back(call("RC_0", "模块" + std::to_string(m) + "整流模块故障告警", m));
    for (std::size_t m = 1; m <= modules; ++m)
        calls.push_back(call("KTRE40_RC_0", "整流模块" + std::to_string(m) + "模块通讯中断告警状态", modules + m));
    return calls;
}

// An AC unit's calls for `channels` channels: AC_0 to AC_10 per channel, then AC_12 to AC_20.
Calls ac_calls(std::size_t channels) {
    const char* const suffixes[] = {"输入线/相电压AB/A", "输入线/相电压BC/B", "输入线/相电压CA/C", "频率"};
    Calls calls;
    for (std::size_t c = 1; c <= channels; ++c) {
        for (int rule = 0; rule <= 10; ++rule) {
            calls.push_back(call("AC_" + std::to_string(rule), "交流屏" + std::to_string(c) + suffixes[rule % 4],
                                 calls.size() + 1));
        }
    }
    for (int rule = 12; rule <= 20; ++rule)
        calls.push_back(call("AC_" + std::to_string(rule), "其他告警", calls.size() + 1));
    return calls;
}

// The arguments of every log line whose format holds `text`.
std::vector<Calls> logged_args(const site::Recorder& recorder, const std::string& text) {
    std::vector<Calls> args;
    for (const site::Event& log : recorder.of(EventKind::Log))
        if (log.format.find(text) != std::string::npos) args.push_back(log.arg_texts());
    return args;
}

void expect_every_unit_published(const site::Recorder& recorder, std::size_t rounds) {
    for (const unsigned id : all_units()) EXPECT_EQ(published_fields(recorder, id).size(), rounds) << "unit " << id;
}

TEST(CountChanges, AModuleAddedAfterRoundOneAndOneRemovedAfterRoundThreeAreFollowed) {
    TempDir dir;
    SimulatedSystem line;  // four modules
    HostRun run(site_of({system_json(1, line.port)}), options_for(dir, 6));
    sim::Simulator& simulator = *line.simulator;
    run.hook->onRound = [&simulator](unsigned, int round) {
        if (round == 1) {
            simulator.update([](sim::SiteState& s) {
                sim::RectifierModule plugged;
                plugged.current = 30.5f;
                s.rectifiers.modules.push_back(plugged);
            });
        }
        if (round == 3)
            simulator.update([](sim::SiteState& s) { s.rectifiers.modules.erase(s.rectifiers.modules.begin()); });
    };
    run.run(std::chrono::seconds(60));

    ASSERT_EQ(run.host->runners().front()->rounds(), 6u);
    expect_every_unit_published(*run.recorder, 6);
    const std::vector<Json::Value> images = published_fields(*run.recorder, 1);
    const std::vector<Calls> calls = alarm_calls_by_round(*run.recorder, 1);
    ASSERT_EQ(calls.size(), 6u);
    const std::size_t counts[] = {4, 5, 5, 4, 4, 4};
    for (std::size_t r = 0; r < 6; ++r) {
        SCOPED_TRACE("round " + std::to_string(r + 1));
        EXPECT_EQ(images[r]["module_count"].asUInt(), counts[r]);
        ASSERT_EQ(images[r]["modules"].size(), counts[r]);
        EXPECT_EQ(calls[r], rectifier_calls(counts[r]));
    }
    EXPECT_EQ(images[1]["modules"][4]["output_current"].asFloat(), 30.5f);
    EXPECT_EQ(images[3]["modules"][0]["output_current"].asFloat(), 16.75f) << "the first module was pulled";
    EXPECT_EQ(images[3]["modules"][3]["output_current"].asFloat(), 30.5f);
    EXPECT_EQ(logged_args(*run.recorder, "module_count changed from {} to {}"),
              (std::vector<Calls>{{"1", "4", "5"}, {"1", "5", "4"}}));
}

TEST(CountChanges, AnAcUnitWhoseChannelsChangeIsFollowedFromTheNextRound) {
    TempDir dir;
    SimulatedSystem line;  // AC unit 0 with one channel
    HostRun run(site_of({system_json(1, line.port)}), options_for(dir, 5));
    sim::Simulator& simulator = *line.simulator;
    run.hook->onRound = [&simulator](unsigned, int round) {
        if (round == 1) simulator.update([](sim::SiteState& s) { s.ac[0].channels.resize(3); });
        if (round == 3) simulator.update([](sim::SiteState& s) { s.ac[0].channels.resize(1); });
    };
    run.run(std::chrono::seconds(60));

    ASSERT_EQ(run.host->runners().front()->rounds(), 5u);
    expect_every_unit_published(*run.recorder, 5);
    const unsigned unit = ac_id(1, 0);
    const std::vector<Json::Value> images = published_fields(*run.recorder, unit);
    const std::vector<Calls> calls = alarm_calls_by_round(*run.recorder, unit);
    const std::size_t counts[] = {1, 3, 3, 1, 1};
    for (std::size_t r = 0; r < 5; ++r) {
        SCOPED_TRACE("round " + std::to_string(r + 1));
        EXPECT_EQ(images[r]["channel_count"].asUInt(), counts[r]);
        ASSERT_EQ(images[r]["channels"].size(), counts[r]);
        EXPECT_EQ(calls[r], ac_calls(counts[r]));
    }
    EXPECT_EQ(images[1]["channels"][2]["a"].asFloat(), 380.0f);
    const std::string id = std::to_string(unit);
    EXPECT_EQ(logged_args(*run.recorder, "channel_count changed from {} to {}"),
              (std::vector<Calls>{{id, "1", "3"}, {id, "3", "1"}}));
}

TEST(CountChanges, AnImageFromAnotherChannelCountRestoredAtStartGivesWayToTheDevice) {
    TempDir dir;
    {
        sim::SimConfig config = quiet_system();
        config.state.ac[0].channels.resize(3);
        SimulatedSystem other(config);
        HostRun first(site_of({system_json(1, other.port)}), options_for(dir, 1));
        first.run();
        ASSERT_EQ(published_fields(*first.recorder, ac_id(1, 0)).at(0)["channel_count"].asUInt(), 3u);
    }
    SimulatedSystem line;
    HostRun run(site_of({system_json(1, line.port)}), options_for(dir, 2));
    run.run();

    ASSERT_EQ(run.host->runners().front()->rounds(), 2u);
    expect_every_unit_published(*run.recorder, 2);
    for (const Json::Value& image : published_fields(*run.recorder, ac_id(1, 0))) {
        EXPECT_EQ(image["channel_count"].asUInt(), 1u);
        EXPECT_EQ(image["channels"].size(), 1u);
    }
    EXPECT_EQ(alarm_calls_by_round(*run.recorder, ac_id(1, 0)).front(), ac_calls(1));
    EXPECT_EQ(logged_args(*run.recorder, "channel_count changed from {} to {}"),
              (std::vector<Calls>{{std::to_string(ac_id(1, 0)), "3", "1"}}));
}

// Nine air switches, and two DC units with nine user values each, for records of eight: the
// first eight are kept (the AC record counts the eight it holds), each DC unit reads its own
// block, and every round is taken. A query
// whose channel number has 100,000 digits is answered like any channel out of range.
TEST(CountChanges, MoreItemsThanTheRecordsHoldKeepTheFirstOnesAndTheRoundsGoOn) {
    TempDir dir;
    sim::SimConfig config = quiet_system();
    config.state.ac[0].airSwitches = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    for (std::size_t unit = 0; unit < 2; ++unit) {
        config.state.dc[unit].user.clear();
        for (int k = 1; k <= 9; ++k) config.state.dc[unit].user.emplace_back(static_cast<float>(10 * unit + k));
    }
    SimulatedSystem line(config);
    site::SiteOptions options = options_for(dir, 3);
    const std::string longName = "channel_" + std::string(100000, '9') + "_a";
    options.queries = {{longName, ac_id(1, 0)}, {"v", dc_id(1, 1)}};
    HostRun run(site_of({system_json(1, line.port)}), options);
    run.run();

    ASSERT_EQ(run.host->runners().front()->rounds(), 3u);
    expect_every_unit_published(*run.recorder, 3);
    for (const Json::Value& image : published_fields(*run.recorder, ac_id(1, 0))) {
        EXPECT_EQ(image["airlock_count"].asUInt(), 8u);
        for (Json::ArrayIndex k = 0; k < 8; ++k) EXPECT_EQ(image["airlock"][k].asUInt(), k + 1);
    }
    for (unsigned unit = 0; unit < 2; ++unit) {
        SCOPED_TRACE("DC unit " + std::to_string(unit));
        const std::vector<Json::Value> images = published_fields(*run.recorder, dc_id(1, unit));
        EXPECT_EQ(images.back()["voltage"].asFloat(), 53.5f - 0.25f * static_cast<float>(unit));
        EXPECT_EQ(images.back()["p_count"].asUInt(), 9u);
        for (Json::ArrayIndex k = 0; k < 8; ++k)
            EXPECT_EQ(images.back()["user_p"][k].asFloat(), static_cast<float>(10 * unit + k + 1));
    }
    EXPECT_EQ(logged_args(*run.recorder, "read 40_43 m is").size(), 3u);
    EXPECT_EQ(logged_args(*run.recorder, "read p_count is").size(), 6u);
    EXPECT_TRUE(logged_args(*run.recorder, "overflow").empty());
    EXPECT_TRUE(logged_args(*run.recorder, "refused").empty());

    const std::vector<site::Event> queries = run.recorder->of(EventKind::Query);
    ASSERT_EQ(queries.size(), 8u);  // before the first request and after each round
    for (std::size_t q = 0; q < queries.size(); q += 2) {
        EXPECT_EQ(queries[q].key, longName);
        EXPECT_EQ(queries[q].text, q == 0 ? "数据未就绪" : "通道参数越界");
        if (q > 0) {
            EXPECT_EQ(queries[q + 1].value, 53.25f);
        }
    }
}

// From the second round on every DC analog answer is refused: each round goes on without it
// after three polls, publishes every unit, and keeps the DC units' time stamp of round 1. After
// three such rounds the step rests.
TEST(CountChanges, AStepRefusedOnEveryPollLetsTheRestOfEveryRoundPublish) {
    TempDir dir;
    SimulatedSystem line;
    HostRun run(site_of({system_json(1, line.port)}), options_for(dir, 4));
    sim::Simulator& simulator = *line.simulator;
    run.hook->onRound = [&simulator](unsigned, int round) {
        if (round != 1) return;
        sim::Faults faults;
        faults.refuse = 0x4241;
        simulator.set_faults(faults);
    };
    run.run(std::chrono::seconds(60));

    ASSERT_EQ(run.host->runners().front()->rounds(), 4u);
    expect_every_unit_published(*run.recorder, 4);
    EXPECT_GE(simulator.stats().refusable, 9u);
    for (unsigned unit = 0; unit < 2; ++unit) {
        const std::vector<Json::Value> images = published_fields(*run.recorder, dc_id(1, unit));
        for (std::size_t r = 1; r < 4; ++r) EXPECT_EQ(images[r]["update_time"], images[0]["update_time"]);
    }
    EXPECT_EQ(logged_args(*run.recorder, "{} on {} polls in a row"),
              (std::vector<Calls>(3, Calls{"1", "42_41", "refused", "3"})));
    EXPECT_EQ(logged_args(*run.recorder, "skipped in {} rounds in a row"),
              (std::vector<Calls>{{"1", "42_41", "3", "10"}}));
}

}  // namespace
}  // namespace e2e
