// Round completion: publishing, threshold rules, the model's alarms and the work item.
#include <gtest/gtest.h>

#include <future>

#include "common/unit_support.h"
#include "dc/dc_test_unit.h"

using namespace dctest;
using site::Event;
using site::EventKind;

namespace {

struct Expected {
    EventKind kind;
    const char* key;
    const char* code;
    const char* name;
    const char* text;
};

// The model's alarms, in call order.
const Expected kModelAlarms[] = {
    {EventKind::Alarm, "KTRE40_DC_0", "06029", "辅助熔丝断", "其他告警"},
    {EventKind::AlertMap, "KTRE40_DC_1", "06029", "电池1电压告警", "其他告警"},
    {EventKind::AlertMap, "KTRE40_DC_2", "06029", "电池2电压告警", "其他告警"},
    {EventKind::AlertMap, "KTRE40_DC_3", "06002", "电池充电过流告警", "电池1充电过流告警"},
    {EventKind::AlertMap, "KTRE40_DC_4", "06002", "电池充电过流告警", "电池2充电过流告警"},
    {EventKind::Alarm, "KTRE40_DC_5", "06001", "电池熔丝故障告警", "负载熔丝1故障告警"},
    {EventKind::Alarm, "KTRE40_DC_6", "06001", "电池熔丝故障告警", "负载熔丝2故障告警"},
    {EventKind::Alarm, "KTRE40_DC_7", "06029", "DC/DC故障", "其他告警"},
    {EventKind::Alarm, "KTRE40_DC_8", "06029", "二次下电告警", "其他告警"},
    {EventKind::Alarm, "KTRE40_DC_9", "06029", "电池保护告警", "其他告警"},
    {EventKind::Alarm, "KTRE40_DC_10", "06011", "直流屏通讯中断告警", "直流屏通讯中断告警状态"},
};

// The one byte value that raises each flag alarm; a near miss that must not.
const Bytes kRaising{3, 1, 2, 0xF0, 0x80, 3, 3, 0xF0, 0xE3, 0xE4, 0xE2, 9, 9, 9, 9, 9, 9};
const Bytes kNearMiss{0xF0, 0, 0, 0, 0, 0xF0, 1, 3, 0xE4, 0xE3, 0xE3, 0, 0, 0, 0, 0, 0};

const std::map<std::uint8_t, std::string> kStateTexts{{0, "正常"}, {1, "低于下限"}, {2, "高于上限"}, {0xF0, "故障"}};

void set_alarms(Rig& rig, std::uint8_t voltageState, const Bytes& fuses, const Bytes& states) {
    const Bytes block = alarm_block(voltageState, fuses, states);
    ASSERT_EQ(parse44(*rig.unit, block), static_cast<int>(block.size()));
}

std::vector<Event> model_checks(const Rig& rig) {
    std::vector<Event> picked;
    for (const Event& e : rig.checks())
        if (e.key.rfind("KTRE40_DC_", 0) == 0) picked.push_back(e);
    return picked;
}

void expect_model_alarms(const Rig& rig, const Bytes& states, unsigned short firstSeq) {
    const std::vector<Event> checks = model_checks(rig);
    ASSERT_EQ(checks.size(), 11u);
    for (std::size_t k = 0; k < checks.size(); ++k) {
        const Event& e = checks[k];
        const Expected& want = kModelAlarms[k];
        SCOPED_TRACE(want.key);
        EXPECT_EQ(e.kind, want.kind);
        EXPECT_EQ(e.level, 2);
        EXPECT_EQ(e.key, want.key);
        EXPECT_EQ(e.code, want.code);
        EXPECT_EQ(e.name, want.name);
        EXPECT_EQ(e.text, want.text);
        EXPECT_EQ(e.seq, firstSeq + k);
        if (want.kind == EventKind::AlertMap) {
            EXPECT_EQ(e.state, states[k]);
            EXPECT_EQ(e.stateTexts, kStateTexts);
        } else {
            EXPECT_EQ(e.active, states[k] == kRaising[k]);
        }
    }
}

}  // namespace

TEST(DcRound, PublishesAndSavesTheWholeRecordEveryRound) {
    Rig rig(258);
    ASSERT_EQ(parse41(*rig.unit, analog_block(53.5f, 4.0f, {}, {}, {})), 11);
    const tele_c_time before = current_ttime();
    rig.unit->RoundDone();
    const tele_c_time after = current_ttime();

    const Bytes image = rig.unit->records();
    const Bytes stamp = slice(image, 183, 7);
    const auto* b = reinterpret_cast<const std::uint8_t*>(&before);
    const auto* a = reinterpret_cast<const std::uint8_t*>(&after);
    EXPECT_TRUE(stamp == Bytes(b, b + 7) || stamp == Bytes(a, a + 7));

    const std::vector<Event> published = rig.recorder->of(EventKind::Publish);
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].record, 5154);
    EXPECT_EQ(published[0].bytes, image);
    const std::vector<Event> saved = rig.recorder->of(EventKind::History);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].bytes, image);
    ASSERT_EQ(rig.recorder->count(EventKind::Batch), 1u);
    EXPECT_EQ(rig.recorder->of(EventKind::Batch)[0].seq, 2u);  // DC_0 and DC_1

    EXPECT_TRUE(VRTHostAccess::data_valid(*rig.unit));
    EXPECT_FLOAT_EQ(rig.unit->Get_Value(0, "v"), 53.5f);
    EXPECT_TRUE(VRTHostAccess::rules(*rig.unit).empty());
    EXPECT_GE(VRTHostAccess::rules(*rig.unit).capacity(), 2u);

    rig.unit->RoundDone();
    EXPECT_EQ(rig.recorder->count(EventKind::Publish), 2u);
    EXPECT_EQ(rig.recorder->count(EventKind::History), 2u);
}

TEST(DcRound, HistoryIsTheRecordAsTheRoundLeftIt) {
    Rig rig(3, Json::Value(), site::WorkMode::Thread);
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    rig.controller->post([gate] { gate.wait(); });  // hold the worker back

    ASSERT_EQ(parse41(*rig.unit, analog_block(50.0f, 1.0f, {}, {}, {})), 11);
    rig.unit->RoundDone();
    const Bytes published = rig.unit->records();
    ASSERT_EQ(parse41(*rig.unit, analog_block(99.0f, 9.0f, {}, {}, {})), 11);  // the next round begins
    release.set_value();
    rig.controller->drain();

    const std::vector<Event> saved = rig.recorder->of(EventKind::History);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].bytes, published);
}

TEST(DcRound, VoltageStateDrivesTheTwoVoltageRules) {
    const Expected rules[] = {{EventKind::Alarm, "DC_0", "06008", "输出电压过低告警", "输出电压过低告警"},
                              {EventKind::Alarm, "DC_1", "06009", "输出电压过高告警", "输出电压过高告警"}};
    for (std::uint8_t state = 0; state <= 3; ++state) {
        Rig rig;
        set_alarms(rig, state, {}, {});
        rig.unit->RoundDone();
        const std::vector<Event> checks = rig.checks();
        ASSERT_EQ(checks.size(), 2u);
        for (std::size_t k = 0; k < 2; ++k) {
            EXPECT_EQ(checks[k].kind, rules[k].kind);
            EXPECT_EQ(checks[k].key, rules[k].key);
            EXPECT_EQ(checks[k].code, rules[k].code);
            EXPECT_EQ(checks[k].name, rules[k].name);
            EXPECT_EQ(checks[k].text, rules[k].text);
            EXPECT_EQ(checks[k].level, 3);
            EXPECT_EQ(checks[k].seq, k + 1);
            EXPECT_EQ(checks[k].active, state == k + 1) << int(state);
        }
    }
}

TEST(DcRound, AllSixtyFourFusesAreReportedThenTheModelAlarms) {
    Rig rig;
    Bytes fuses(64, 0);
    fuses[0] = 3;
    fuses[17] = 3;
    fuses[63] = 3;
    fuses[5] = 2;
    set_alarms(rig, 0, fuses, kRaising);
    rig.unit->RoundDone();

    const std::vector<Event> checks = rig.checks();
    ASSERT_EQ(checks.size(), 2u + 64u + 11u);
    for (std::size_t k = 0; k < 64; ++k) {
        const Event& e = checks[2 + k];
        EXPECT_EQ(e.kind, EventKind::Alarm);
        EXPECT_EQ(e.level, 1);
        EXPECT_EQ(e.key, "DC_3");
        EXPECT_EQ(e.code, "06001");
        EXPECT_EQ(e.name, "电池熔丝故障告警");
        EXPECT_EQ(e.text, "直流" + std::to_string(k + 1) + "电池熔丝故障告警");
        EXPECT_EQ(e.seq, k + 3);
        EXPECT_EQ(e.active, fuses[k] == 3) << k;
    }
    EXPECT_EQ(checks[2].text, "直流1电池熔丝故障告警");
    EXPECT_EQ(checks[65].text, "直流64电池熔丝故障告警");
    expect_model_alarms(rig, kRaising, 67);
    EXPECT_EQ(VRTHostAccess::alarm_seq(*rig.unit), 78);
}

TEST(DcRound, OtherFuseCountsReportNoFuseRule) {
    for (std::size_t count : {0u, 2u, 63u, 70u}) {
        Rig rig;
        set_alarms(rig, 0, Bytes(count, 3), kNearMiss);
        rig.unit->RoundDone();
        EXPECT_EQ(rig.checks().size(), 2u + 11u) << count;
        expect_model_alarms(rig, kNearMiss, 3);
    }
}

TEST(DcModelAlarms, EachFlagRaisesOnlyOnItsOwnByte) {
    Rig raising;
    set_alarms(raising, 0, {}, kRaising);
    raising.unit->RoundDone();
    expect_model_alarms(raising, kRaising, 3);
    for (const Event& e : model_checks(raising)) {
        if (e.kind == EventKind::Alarm) {
            EXPECT_TRUE(e.active) << e.key;
        }
    }

    Rig missing;
    set_alarms(missing, 0, {}, kNearMiss);
    missing.unit->RoundDone();
    expect_model_alarms(missing, kNearMiss, 3);
    for (const Event& e : model_checks(missing)) {
        if (e.kind == EventKind::Alarm) {
            EXPECT_FALSE(e.active) << e.key;
        }
    }
}

TEST(DcModelAlarms, StateBytesReachTheHostUnchanged) {
    Rig rig;
    Bytes states(17, 0);
    states[1] = 0x80;
    states[2] = 0xF0;
    states[3] = 0xFF;
    set_alarms(rig, 0, {}, states);
    rig.unit->RoundDone();
    const std::vector<Event> maps = rig.recorder->of(EventKind::AlertMap);
    ASSERT_EQ(maps.size(), 4u);
    EXPECT_EQ(maps[0].state, 0x80);
    EXPECT_EQ(maps[1].state, 0xF0);
    EXPECT_EQ(maps[2].state, 0xFF);
    EXPECT_EQ(maps[3].state, 0);
    for (const Event& e : maps) EXPECT_EQ(e.stateTexts, kStateTexts);
}

TEST(DcModelAlarms, SkippedUnlessExactly17StatesArrived) {
    for (std::size_t count : {0u, 16u, 18u}) {
        Rig rig;
        set_alarms(rig, 0, {}, Bytes(count, 3));
        rig.unit->RoundDone();
        EXPECT_TRUE(model_checks(rig).empty()) << count;
        EXPECT_EQ(VRTHostAccess::alarm_seq(*rig.unit), 3) << count;
    }
}

namespace {

struct ClearingRound {
    std::size_t fuses;
    std::size_t states;
    std::size_t fuseCalls;   // DC_3 calls of the round
    std::size_t modelCalls;  // KTRE40_DC_ calls of the round
    bool raised;             // whether any of them is active
};

// Raised under complete counts, then another count: each alarm is reported clear once, then
// nothing is reported until the counts are complete again. A restore counts as the round before.
void expect_clearing(Rig& rig, const std::vector<ClearingRound>& rounds) {
    for (std::size_t r = 0; r < rounds.size(); ++r) {
        const ClearingRound& c = rounds[r];
        SCOPED_TRACE("round " + std::to_string(r + 1));
        rig.recorder->clear();
        set_alarms(rig, 0, Bytes(c.fuses, 3), Bytes(kRaising.begin(), kRaising.begin() + c.states));
        rig.unit->RoundDone();
        std::size_t fuseCalls = 0;
        bool raised = false;
        for (const Event& e : rig.checks()) {
            if (e.key == "DC_3") ++fuseCalls;
            if (e.key != "DC_0" && e.key != "DC_1") raised = raised || e.active || e.state != 0;
        }
        EXPECT_EQ(fuseCalls, c.fuseCalls);
        EXPECT_EQ(model_checks(rig).size(), c.modelCalls);
        EXPECT_EQ(raised, c.raised);
    }
}

}  // namespace

TEST(DcRound, AlarmsRaisedUnderCompleteCountsAreClearedOnceWhenTheCountChanges) {
    Rig rig;
    expect_clearing(rig, {{64, 17, 64, 11, true},
                          {2, 5, 64, 11, false},
                          {2, 5, 0, 0, false},
                          {64, 17, 64, 11, true},
                          {64, 5, 64, 11, true},
                          {63, 5, 64, 0, false},
                          {63, 5, 0, 0, false}});

    Rig complete;
    expect_clearing(complete, {{64, 17, 64, 11, true}});
    const Bytes image = complete.unit->records();
    Rig restored;
    ASSERT_TRUE(restored.unit->LoadFromCache(image.data(), static_cast<int>(image.size())));
    expect_clearing(restored, {{2, 5, 64, 11, false}, {2, 5, 0, 0, false}});
}
