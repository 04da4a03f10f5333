// The command cycle: request order, INFO bytes, the bytes each unit is handed, round end.
#include <boost/date_time/posix_time/posix_time.hpp>

#include "power_fixture.h"

namespace rec {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

struct FullRoundTest : PowerTest {
    // Answers of a round with two AC and two DC units; every DATAFLAG is 0.
    static Bytes full_answer(const line::Request& request) {
        const std::string op = name_of(request);
        if (op == "40/41") return {0x00, 2, 0xA1, 0xA2, 0xA3, 0xB1};
        if (op == "40/43") return {0x00, 2, 0xC1, 0xC2, 0xC3};
        if (op == "40/44") return {0x00, 2, 0xD1, 0xD2, 0xD3, 0xD4};
        if (op == "41/41") return {0x00, 0x51, 0x52};
        if (op == "41/43") return {0x00, 0x53};
        if (op == "41/44") return {0x00, 0x54};
        if (op == "42/41") return {0x00, 2, 0xE1, 0xE2, 0xE3};
        if (op == "42/44") return {0x00, 2, 0xF1, 0xF2};
        if (op == "40/46") return {0x61, 0x62};
        return {0x71};
    }

    void SetUp() override {
        PowerTest::SetUp();
        configure({11, 12}, {21, 22});
        journal().script(11, "40_41", {3});
        journal().script(12, "40_41", {1});
        journal().script(11, "40_43", {2});
        journal().script(12, "40_43", {1});
        journal().script(11, "40_44", {1});
        journal().script(12, "40_44", {3});
        journal().script(21, "42_41", {2});
        journal().script(22, "42_41", {1});
        journal().script(21, "42_44", {1});
        journal().script(22, "42_44", {1});
    }

    // Model query, then one round answered with full_answer.
    std::vector<line::Request> first_round() {
        EXPECT_TRUE(poll());
        EXPECT_TRUE(answer(0x40, model_info("KTR-40")));
        return run_round(full_answer);
    }
};

TEST_F(FullRoundTest, RequestsComeInCycleOrderWithTheGroupByteOnTheAcRequests) {
    ASSERT_TRUE(poll());
    ASSERT_EQ(script->count(), 1u);
    EXPECT_EQ(name_of(script->last()), "40/51");
    EXPECT_TRUE(script->last().info.empty());
    ASSERT_TRUE(answer(0x40, model_info("KTR-40")));

    const std::vector<line::Request> requests = run_round(full_answer);
    EXPECT_EQ(names_of(requests),
              (Strings{"40/41", "40/43", "40/44", "41/41", "41/43", "41/44", "42/41", "42/44", "40/46", "42/46"}));
    for (const line::Request& request : requests) {
        const Bytes expected = request.cid1 == 0x40 && request.cid2 != 0x46 ? Bytes{0xFF} : Bytes{};
        EXPECT_EQ(request.info, expected) << name_of(request);
        EXPECT_EQ(request.ver, 0x20);
    }
}

TEST_F(FullRoundTest, EachUnitGetsItsShareOfTheAnswerInOrderAndTheRoundEndsWithEveryUnit) {
    first_round();
    const std::vector<Call>& calls = journal().calls;
    EXPECT_EQ(journal().ops(),
              (Strings{"11:40_41",     "12:40_41",     "11:40_43",     "12:40_43",     "11:40_44",
                       "12:40_44",     "1000:41_41",   "1000:41_43",   "1000:41_44",   "21:42_41",
                       "22:42_41",     "21:42_44",     "22:42_44",     "1000:40_46",   "1000:42_46",
                       "11:RoundDone", "12:RoundDone", "21:RoundDone", "22:RoundDone", "1000:RoundDone"}));
    ASSERT_EQ(calls.size(), 20u);
    const std::vector<std::pair<Bytes, int>> handed = {
        {{0xA1, 0xA2, 0xA3, 0xB1}, 4},
        {{0xB1}, 1},
        {{0xC1, 0xC2, 0xC3}, 3},
        {{0xC3}, 1},
        {{0xD1, 0xD2, 0xD3, 0xD4}, 4},
        {{0xD2, 0xD3, 0xD4}, 3},
        {{0x00, 0x51, 0x52}, 3},
        {{0x00, 0x53}, 2},
        {{0x00, 0x54}, 2},
        {{0xE1, 0xE2, 0xE3}, 3},
        {{0xE3}, 1},
        {{0xF1, 0xF2}, 2},
        {{0xF2}, 1},
        {{0x61, 0x62}, 2},
        {{0x71}, 1},
    };
    for (std::size_t i = 0; i < handed.size(); ++i) {
        EXPECT_EQ(calls[i].bytes, handed[i].first) << calls[i].unit << ":" << calls[i].op;
        EXPECT_EQ(calls[i].len, handed[i].second) << calls[i].unit << ":" << calls[i].op;
        EXPECT_TRUE(calls[i].insideInfo);
    }
    EXPECT_TRUE(logs().empty());
}

TEST_F(FullRoundTest, RoundEndResetsTheExchangeAndTheNextRoundSkipsTheModelQuery) {
    first_round();
    EXPECT_EQ(VRTHostAccess::step(*dev), 0);
    const std::vector<site::Event> events = recorder->events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, site::EventKind::Reset);
    EXPECT_FALSE(link->awaiting());

    script->clear();
    ASSERT_TRUE(poll());
    EXPECT_EQ(sent(), (Strings{"40/41"}));
    EXPECT_EQ(script->last().info, (Bytes{0xFF}));
}

TEST_F(FullRoundTest, UnderProtocol21TheDcRequestsCarryTheGroupByteToo) {
    VRTHostAccess::protocol_version(*dev) = 0x21;
    const std::vector<line::Request> requests = first_round();
    ASSERT_EQ(requests.size(), 10u);
    for (const line::Request& request : requests) {
        const bool grouped = (request.cid1 == 0x40 || request.cid1 == 0x42) && request.cid2 != 0x46;
        EXPECT_EQ(request.info, grouped ? Bytes{0xFF} : Bytes{}) << name_of(request);
        EXPECT_EQ(request.ver, 0x21);
    }
}

// Request order once the host holds valid data, by the DATAFLAG of each analog answer.
struct FlagCase {
    std::uint8_t ac, rc, dc;
    Strings expected;
};

class DataFlagTest : public PowerTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(DataFlagTest, StatusAndAlarmRequestsFollowTheFlags) {
    const FlagCase& c = GetParam();
    configure({11}, {21});
    pass_model_check();
    VRTHostAccess::data_valid(*dev) = true;
    const auto respond = [&c](const line::Request& request) -> Bytes {
        if (request.cid1 == 0x40 && request.cid2 == 0x41) return {c.ac, 1, 0xAA};
        if (request.cid1 == 0x41 && request.cid2 == 0x41) return {c.rc, 0xBB};
        if (request.cid1 == 0x42 && request.cid2 == 0x41) return {c.dc, 1, 0xCC};
        if (request.cid1 == 0x42 && request.cid2 == 0x44) return {0x00, 1, 0xDD};
        return {0x00, 0x00, 0xEE};  // a DATAFLAG in a non-analog answer changes nothing
    };
    EXPECT_EQ(names_of(run_round(respond)), c.expected);
    // The next round asks by the same rules.
    EXPECT_EQ(names_of(run_round(respond)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, DataFlagTest,
    ::testing::Values(
        FlagCase{0x00, 0x00, 0x00, {"40/41", "41/41", "42/41", "40/46", "42/46"}},
        FlagCase{0xEE, 0xEE, 0xEE, {"40/41", "41/41", "42/41", "40/46", "42/46"}},
        FlagCase{0x10, 0x10, 0x10, {"40/41", "40/43", "41/41", "41/43", "42/41", "42/44", "40/46", "42/46"}},
        FlagCase{0x01, 0x01, 0x01, {"40/41", "40/44", "41/41", "41/44", "42/41", "42/44", "40/46", "42/46"}},
        FlagCase{0x11, 0x11, 0x00, {"40/41", "40/43", "40/44", "41/41", "41/43", "41/44", "42/41", "40/46", "42/46"}}));

Bytes plain_answer(const line::Request& request) {
    if (request.cid2 == 0x41 && request.cid1 != 0x41) return {0x00, 1, 0x01};
    if (request.cid1 == 0x42 && request.cid2 == 0x44) return {0x00, 1, 0x02};
    return {0x00, 0x03};
}

TEST_F(PowerTest, WithoutAcUnitsRoundsStartWithTheRectifiersAndSkipTheAcParameters) {
    configure({}, {21});
    ASSERT_TRUE(poll());
    ASSERT_TRUE(answer(0x40, model_info("KTR-40")));
    EXPECT_EQ(sent(), (Strings{"40/51", "41/41"}));
    EXPECT_EQ(names_of(run_round(plain_answer)), (Strings{"41/41", "41/43", "41/44", "42/41", "42/44", "42/46"}));
    EXPECT_EQ(VRTHostAccess::step(*dev), 0);
    script->clear();
    ASSERT_TRUE(poll());
    EXPECT_EQ(sent(), (Strings{"41/41"}));
}

TEST_F(PowerTest, WithoutDcUnitsTheRoundEndsAfterTheRectifierSteps) {
    configure({11}, {});
    pass_model_check();
    EXPECT_EQ(names_of(run_round(plain_answer)), (Strings{"40/41", "40/43", "40/44", "41/41", "41/43", "41/44"}));
    const Strings ops = journal().ops();
    ASSERT_GE(ops.size(), 2u);
    const Strings tail(ops.end() - 2, ops.end());
    EXPECT_EQ(tail, (Strings{"11:RoundDone", "1000:RoundDone"}));
    EXPECT_EQ(VRTHostAccess::step(*dev), 0);
    EXPECT_EQ(recorder->events().back().kind, site::EventKind::Reset);
}

TEST_F(PowerTest, WithoutDcUnitsSkippedRectifierRequestsEndTheRoundEarlier) {
    configure({11}, {});
    pass_model_check();
    VRTHostAccess::data_valid(*dev) = true;
    go_to_step(4);
    EXPECT_FALSE(answer(0x41, {0x00, 0x01}));
    EXPECT_EQ(journal().ops(), (Strings{"1000:41_41", "11:RoundDone", "1000:RoundDone"}));

    go_to_step(4);
    EXPECT_TRUE(answer(0x41, {0x10, 0x01}));
    EXPECT_EQ(sent(), (Strings{"41/43"}));
    EXPECT_FALSE(answer(0x41, {0x00, 0x01}));
    EXPECT_EQ(sent(), (Strings{"41/43"}));
    EXPECT_EQ(VRTHostAccess::step(*dev), 0);
}

TEST_F(PowerTest, FourDcUnitsAreFedFromTheFirstValueOnNotFromTheCountByte) {
    configure({11}, {21, 22, 23, 24});
    pass_model_check();
    go_to_step(7);
    journal().script(21, "42_41", {2});
    EXPECT_TRUE(answer(0x42, {0x00, 4, 0x31, 0x32, 0x33, 0x34}));
    const std::vector<Call> calls = journal().of("42_41");
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].bytes, (Bytes{0x31, 0x32, 0x33, 0x34}));
    EXPECT_EQ(calls[1].bytes, (Bytes{0x33, 0x34}));
    EXPECT_EQ(sent(), (Strings{"42/44"}));

    go_to_step(8);
    EXPECT_TRUE(answer(0x42, {0x00, 4, 0x41, 0x42}));
    ASSERT_FALSE(journal().calls.empty());
    EXPECT_EQ(journal().calls[0].bytes, (Bytes{0x41, 0x42}));
}

TEST_F(PowerTest, AcStatusAnswerWithoutValuesCallsNoUnitAndMovesOn) {
    configure({11}, {21});
    pass_model_check();
    go_to_step(1);
    EXPECT_TRUE(answer(0x40, {0x00, 1}));
    EXPECT_TRUE(journal().calls.empty());
    EXPECT_EQ(sent(), (Strings{"40/44"}));
}

// Rounds start once 2 s have passed since the last update. A last update ahead of the clock (the
// clock stepped back) counts as old enough: the round that follows stamps it anew.
TEST_F(PowerTest, PollsWaitTwoSecondsAfterTheLastUpdateExceptForTheModelQuery) {
    using boost::posix_time::seconds;
    configure({11}, {21});
    VRTHostAccess::last_update(*dev) = boost::posix_time::second_clock::local_time();
    ASSERT_TRUE(poll());
    EXPECT_EQ(sent(), (Strings{"40/51"}));
    ASSERT_TRUE(answer(0x40, model_info("KTR-40")));

    struct Case {
        long ageSeconds;
        bool polls;
    };
    const Case cases[] = {{0, false}, {3, true}, {61, true}, {-10, true}, {-86400, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE("age " + std::to_string(c.ageSeconds));
        dev->Reset();  // the request just sent is not waited for
        script->clear();
        VRTHostAccess::last_update(*dev) = boost::posix_time::second_clock::local_time() - seconds(c.ageSeconds);
        EXPECT_EQ(poll(), c.polls);
        EXPECT_EQ(sent(), c.polls ? Strings{"40/41"} : Strings{});
        if (!c.polls) {
            EXPECT_EQ(VRTHostAccess::port_counter(*dev), 0);
            continue;
        }
        // The round runs to its end, so the next case starts between rounds.
        EXPECT_EQ(run_round([](const line::Request& request) {
                      return std::vector<std::uint8_t>{0x00, 0x01, request.cid1};
                  }).size(),
                  10u);
    }
}

TEST_F(PowerTest, ADeviceWithoutRectifierGroupIsNotPolled) {
    dev = std::make_shared<RecPower>();
    dev->Init(controller, kDeviceId, Json::Value());
    Json::Value settings = settings_for({11}, {21});
    settings.removeMember("rcSetting");
    EXPECT_FALSE(dev->InitSetting(settings));
    HostLink::attach(*dev, link);
    EXPECT_FALSE(poll());
    EXPECT_EQ(script->count(), 0u);
}

}  // namespace
}  // namespace rec
