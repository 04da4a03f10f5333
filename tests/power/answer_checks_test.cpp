// The checks around each answer: CID1, unit counts, what the units return, INFO length.
#include <map>
#include <ostream>
#include <string>

#include "power_fixture.h"

namespace rec {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;
using Kind = site::LogValue::Kind;

const char* const kAcNumber = "PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}";
const char* const kDcNumber = "PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}";

// The request each step sends, as the cycle names it.
const std::map<std::int32_t, std::string> kStepRequest = {
    {14, "40/51"}, {0, "40/41"}, {1, "40/43"}, {2, "40/44"}, {3, "40/46"}, {4, "41/41"},
    {5, "41/43"},  {6, "41/44"}, {7, "42/41"}, {8, "42/44"}, {9, "42/46"},
};

std::uint8_t cid1_of(std::int32_t step) {
    const std::string& request = kStepRequest.at(step);
    return static_cast<std::uint8_t>(std::stoi(request.substr(0, 2), nullptr, 16));
}

std::vector<Kind> kinds(const site::Event& log) {
    std::vector<Kind> out;
    for (const site::LogValue& arg : log.args) out.push_back(arg.kind);
    return out;
}

struct CheckTest : PowerTest {
    // Two AC and two DC units; the model check passed.
    void SetUp() override {
        PowerTest::SetUp();
        configure({11, 12}, {21, 22});
        pass_model_check();
    }

    void expect_single_log(const std::string& format, const Strings& args) {
        const std::vector<site::Event> lines = logs();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].format, format);
        EXPECT_EQ(lines[0].arg_texts(), args);
    }

    // The step's request is repeated at the next poll.
    void expect_repeated(std::int32_t step) {
        script->clear();
        EXPECT_TRUE(poll());
        EXPECT_EQ(sent(), Strings{kStepRequest.at(step)});
    }
};

TEST_F(CheckTest, AcCountMismatchParsesNothingAndEndsTheExchange) {
    go_to_step(0);
    EXPECT_FALSE(answer(0x40, {0x11, 3, 0x01, 0x02}));
    EXPECT_TRUE(journal().calls.empty());
    EXPECT_EQ(script->count(), 0u);
    expect_single_log(kAcNumber, {"1000", "3", "2"});
    EXPECT_EQ(kinds(logs()[0]), (std::vector<Kind>{Kind::Unsigned, Kind::Unsigned, Kind::Unsigned}));
    EXPECT_EQ(recorder->count(site::EventKind::Reset), 1u);
    expect_repeated(0);
}

TEST_F(CheckTest, DcCountMismatchIsLoggedAndTheAnswerIgnored) {
    for (const std::int32_t step : {7, 8}) {
        go_to_step(step);
        EXPECT_TRUE(answer(0x42, {0x00, 1, 0x01, 0x02}));
        EXPECT_TRUE(journal().calls.empty());
        EXPECT_EQ(script->count(), 0u);
        EXPECT_EQ(recorder->count(site::EventKind::Reset), 0u);
        expect_single_log(kDcNumber, {"1000", "1", "2"});
        EXPECT_EQ(kinds(logs()[0]), (std::vector<Kind>{Kind::Unsigned, Kind::Unsigned, Kind::Unsigned}));
        EXPECT_EQ(VRTHostAccess::step(*dev), step);
        expect_repeated(step);
    }
}

class WrongCid1Test : public CheckTest, public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(WrongCid1Test, AnAnswerOfAnotherGroupChangesNothingAndTheStepIsAskedAgain) {
    const std::int32_t step = GetParam();
    if (step == 14) {
        journal().clear();
        configure({11, 12}, {21, 22});
        ASSERT_TRUE(poll());
    }
    go_to_step(step);
    const std::uint8_t wrong = cid1_of(step) == 0x40 ? 0x41 : 0x40;
    const bool result = answer(wrong, {0x00, 2, 0x01, 0x02, 0x03, 0x04});
    EXPECT_EQ(result, step != 0);
    EXPECT_EQ(recorder->count(site::EventKind::Reset), step == 0 ? 1u : 0u);
    EXPECT_TRUE(journal().calls.empty());
    EXPECT_TRUE(logs().empty());
    EXPECT_EQ(recorder->count(site::EventKind::Alarm), 0u);
    EXPECT_EQ(script->count(), 0u);
    EXPECT_EQ(VRTHostAccess::step(*dev), step);
    expect_repeated(step);
}

INSTANTIATE_TEST_SUITE_P(EveryStep, WrongCid1Test, ::testing::Values(14, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9));

// What a unit returns and what the device makes of it.
struct ResultCase {
    std::string name;
    std::int32_t step;
    Bytes info;
    std::string op;
    std::vector<std::pair<unsigned, int>> results;  // (unit, what it returns)
    Strings calls;                                  // units called, in order
    std::string log;                                // the one ProcotolError line expected, or empty
    Strings next;                                   // requests sent
    bool returned = true;
};

void PrintTo(const ResultCase& c, std::ostream* os) { *os << c.name; }

class UnitResultTest : public CheckTest, public ::testing::WithParamInterface<ResultCase> {};

TEST_P(UnitResultTest, ResultIsCheckedAsTheStepRequires) {
    const ResultCase& c = GetParam();
    go_to_step(c.step);
    for (const auto& [unit, value] : c.results) journal().script(unit, c.op, {value});
    EXPECT_EQ(answer(cid1_of(c.step), c.info), c.returned);
    EXPECT_EQ(journal().ops(), c.calls);
    if (c.log.empty()) {
        EXPECT_TRUE(logs().empty());
    } else {
        expect_single_log("PMBusPower:ProcotolError {} " + c.log + " overflow memory boundary", {"1000"});
    }
    EXPECT_EQ(sent(), c.next);
    for (const Call& call : journal().calls) EXPECT_TRUE(call.insideInfo) << call.unit << ":" << call.op;
}

const Strings kRoundDone = {"11:RoundDone", "12:RoundDone", "21:RoundDone", "22:RoundDone", "1000:RoundDone"};

Strings with_round_done(Strings calls) {
    calls.insert(calls.end(), kRoundDone.begin(), kRoundDone.end());
    return calls;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, UnitResultTest,
    ::testing::Values(
        ResultCase{"AcAnalogFailureStopsTheLaterUnits", 0, {0, 2, 1, 2, 3}, "40_41", {{11, -1}}, {"11:40_41"}, "", {}},
        ResultCase{
            "AcAnalogOverlong", 0, {0, 2, 1, 2, 3}, "40_41", {{11, 4}}, {"11:40_41", "12:40_41"}, "parse 40_41", {}},
        ResultCase{"AcAnalogShort",
                   0,
                   {0, 2, 1, 2, 3},
                   "40_41",
                   {{11, 1}, {12, 1}},
                   {"11:40_41", "12:40_41"},
                   "parse 40_41",
                   {}},
        ResultCase{"AcStatusFailure", 1, {0, 2, 1, 2, 3}, "40_43", {{12, -1}}, {"11:40_43", "12:40_43"}, "", {}},
        ResultCase{
            "AcStatusOverlong", 1, {0, 2, 1, 2, 3}, "40_43", {{12, 9}}, {"11:40_43", "12:40_43"}, "parse 40_43", {}},
        ResultCase{"AcAlarmOverlongIsNotLogged", 2, {0, 2, 1, 2}, "40_44", {{11, 5}}, {"11:40_44", "12:40_44"}, "", {}},
        ResultCase{"AcAlarmFailure", 2, {0, 2, 1, 2}, "40_44", {{11, -1}}, {"11:40_44"}, "", {}},
        ResultCase{"RcAnalogFailureIsLogged", 4, {0, 1, 2}, "41_41", {{1000, -1}}, {"1000:41_41"}, "parse p41_41", {}},
        ResultCase{"RcAnalogShort", 4, {0, 1, 2}, "41_41", {{1000, 2}}, {"1000:41_41"}, "parse p41_41", {}},
        ResultCase{"RcStatusOverlong", 5, {0, 1}, "41_43", {{1000, 3}}, {"1000:41_43"}, "parse p41_43", {}},
        ResultCase{"RcAlarmFailure", 6, {0, 1}, "41_44", {{1000, -1}}, {"1000:41_44"}, "parse p41_44", {}},
        ResultCase{"DcAnalogFailure", 7, {0, 2, 1, 2}, "42_41", {{21, -1}}, {"21:42_41"}, "", {}},
        ResultCase{"DcAnalogOverlongGoesOn",
                   7,
                   {0, 2, 1, 2},
                   "42_41",
                   {{21, 3}},
                   {"21:42_41", "22:42_41"},
                   "parse 42_41",
                   {"42/44"}},
        ResultCase{"DcAnalogShortIsAccepted",
                   7,
                   {0, 2, 1, 2, 3},
                   "42_41",
                   {{21, 0}, {22, 1}},
                   {"21:42_41", "22:42_41"},
                   "",
                   {"42/44"}},
        ResultCase{"DcAlarmFailure", 8, {0, 2, 1}, "42_44", {{22, -1}}, {"21:42_44", "22:42_44"}, "", {}},
        ResultCase{"DcAlarmOverlongGoesOn",
                   8,
                   {0, 2, 1},
                   "42_44",
                   {{22, 2}},
                   {"21:42_44", "22:42_44"},
                   "parse 42_44",
                   {"40/46"}},
        ResultCase{"AcParametersFailure", 3, {1, 2}, "40_46", {{1000, -1}}, {"1000:40_46"}, "", {}},
        ResultCase{
            "AcParametersOverlongGoesOn", 3, {1, 2}, "40_46", {{1000, 3}}, {"1000:40_46"}, "parse 40_46", {"42/46"}},
        ResultCase{"AcParametersShortIsAccepted", 3, {1, 2}, "40_46", {{1000, 1}}, {"1000:40_46"}, "", {"42/46"}},
        ResultCase{"DcParametersFailureKeepsTheRoundOpen", 9, {1, 2}, "42_46", {{1000, -1}}, {"1000:42_46"}, "", {}},
        ResultCase{"DcParametersOverlongEndsTheRound",
                   9,
                   {1, 2},
                   "42_46",
                   {{1000, 3}},
                   with_round_done({"1000:42_46"}),
                   "parse 42_46",
                   {},
                   false}),
    [](const ::testing::TestParamInfo<ResultCase>& param) { return param.param.name; });

TEST_F(CheckTest, AfterAnOverlongUnitTheNextOneIsHandedNothingToRead) {
    go_to_step(0);
    journal().script(11, "40_41", {7});
    EXPECT_TRUE(answer(0x40, {0, 2, 1, 2, 3}));
    ASSERT_EQ(journal().calls.size(), 2u);
    EXPECT_EQ(journal().calls[1].len, -4);
    EXPECT_TRUE(journal().calls[1].bytes.empty());
    EXPECT_TRUE(journal().calls[1].insideInfo);
}

// An answer too short for the bytes the device reads itself is dropped and asked for again.
struct ShortCase {
    std::int32_t step;
    int len;
    std::string op;
    int needed;
};

class ShortAnswerTest : public CheckTest, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortAnswerTest, IsLoggedDroppedAndAskedForAgain) {
    const ShortCase& c = GetParam();
    go_to_step(c.step);
    const bool result = answer(cid1_of(c.step), Bytes(static_cast<std::size_t>(c.len), 0x02));
    EXPECT_EQ(result, c.step != 0);
    EXPECT_EQ(recorder->count(site::EventKind::Reset), c.step == 0 ? 1u : 0u);
    EXPECT_TRUE(journal().calls.empty());
    EXPECT_EQ(script->count(), 0u);
    expect_single_log("PMBusPower:ProcotolError {} read " + c.op + " info length is {}, needed {}",
                      {"1000", std::to_string(c.len), std::to_string(c.needed)});
    EXPECT_EQ(kinds(logs()[0]), (std::vector<Kind>{Kind::Unsigned, Kind::Signed, Kind::Signed}));
    expect_repeated(c.step);
}

INSTANTIATE_TEST_SUITE_P(Steps, ShortAnswerTest,
                         ::testing::Values(ShortCase{0, 0, "40_41", 2}, ShortCase{0, 1, "40_41", 2},
                                           ShortCase{4, 0, "41_41", 1}, ShortCase{5, 0, "41_43", 1},
                                           ShortCase{6, 0, "41_44", 1}, ShortCase{7, 0, "42_41", 2},
                                           ShortCase{7, 1, "42_41", 2}, ShortCase{8, 1, "42_44", 2}));

// LENID counts characters; an odd count is rounded down, and its high byte is the second one.
TEST_F(CheckTest, InfoLengthIsHalfTheLittleEndianLenidRoundedDown) {
    go_to_step(4);
    Bytes frame = {0x20, 0x01, 0x41, 0x00, 0x05, 0x00, 0x00, 0xAA, 0xBB};
    VRTHostAccess::payload(*dev) = frame.data();
    EXPECT_TRUE(dev->process_payload());
    ASSERT_EQ(journal().calls.size(), 1u);
    EXPECT_EQ(journal().calls[0].len, 2);
    EXPECT_EQ(journal().calls[0].bytes, (Bytes{0x00, 0xAA}));
    EXPECT_EQ(sent(), Strings{"41/43"});

    go_to_step(4);
    frame.assign(6 + 129, 0x00);
    frame[2] = 0x41;
    frame[4] = 0x02;  // LENID 0x0102 = 258 characters
    frame[5] = 0x01;
    VRTHostAccess::payload(*dev) = frame.data();
    EXPECT_TRUE(dev->process_payload());
    VRTHostAccess::payload(*dev) = nullptr;
    ASSERT_EQ(journal().calls.size(), 1u);
    EXPECT_EQ(journal().calls[0].len, 129);
}

// Every step, every INFO length from 0 on, units that take all, a little or too much: nothing is
// ever handed or read outside the INFO. Each answer sits in a buffer of its own exact size, so the
// sanitizer build catches any read past it.
TEST(AnswerBoundsTest, NoStepReadsOrHandsOutBytesPastTheInfo) {
    const std::vector<std::function<int(int)>> behaviours = {
        [](int len) { return len > 0 ? len : 0; },
        [](int) { return 1; },
        [](int len) { return (len > 0 ? len : 0) + 5; },
    };
    auto recorder = std::make_shared<site::Recorder>();
    auto controller = std::make_shared<site::Controller>(recorder, site::WorkMode::Inline);
    for (const auto& behaviour : behaviours) {
        for (const auto& [step, request] : kStepRequest) {
            for (int len = 0; len <= 26; ++len) {
                journal().clear();
                journal().fallback = behaviour;
                auto dev = std::make_shared<RecPower>();
                dev->Init(controller, kDeviceId, Json::Value());
                ASSERT_TRUE(dev->InitSetting(settings_for({11, 12}, {21, 22})));
                auto script = std::make_shared<line::ScriptedTransport>();
                auto link = std::make_shared<HostLink>(script);
                HostLink::attach(*dev, link);
                ASSERT_TRUE(dev->RefreshStatus());
                if (step != 14) {
                    ASSERT_TRUE(link->deliver(*dev, line::Answer{0x20, 1, 0x40, 0, model_info("KTR-40")}));
                    HostLink::attach(*dev, std::make_shared<HostLink>(script));  // a fresh, exactly sized buffer
                    VRTHostAccess::step(*dev) = step;
                }
                Bytes info(static_cast<std::size_t>(len));
                for (std::size_t i = 0; i < info.size(); ++i) info[i] = static_cast<std::uint8_t>(0x30 + i);
                if (len > 1) info[1] = 2;  // matches the configured unit counts
                auto answerLink = VRTHostAccess::link(*dev);
                answerLink->deliver(*dev, line::Answer{0x20, 1, cid1_of(step), 0, info});
                for (const Call& call : journal().calls) {
                    EXPECT_TRUE(call.insideInfo) << request << " len " << len << " " << call.unit << ":" << call.op;
                    EXPECT_LE(static_cast<int>(call.bytes.size()), len);
                }
            }
        }
    }
    journal().clear();
}

}  // namespace
}  // namespace rec
