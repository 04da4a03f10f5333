// Parsing of one AC unit's portion of the 40/41, 40/43 and 40/44 answers.
#include <algorithm>

#include "tests/ac/ac_test_support.h"
#include "tests/shared/wire_sample.h"

namespace {

using site::EventKind;

const std::vector<std::uint8_t> kNotProvidedCurrent = {0xCD, 0xCC, 0xCC, 0xBD};  // -0.1f
const std::vector<std::uint8_t> kZero = {0, 0, 0, 0};

class AcParseTest : public AcUnitTest {
protected:
    std::shared_ptr<ProbeAC> unit_ = make_unit();

    void establish_two_channels() { ASSERT_EQ(feed_quietly(*unit_, two_channel_analog().bytes(), 47), 47); }

    // The one log line of the test, by its format.
    void expect_single_log(const std::string& format, const std::vector<std::string>& args) {
        const std::vector<site::Event> logs = events(EventKind::Log);
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0].format, format);
        EXPECT_EQ(logs[0].arg_texts(), args);
    }
};

// ---- 40/41 ----

TEST_F(AcParseTest, AnalogPortionStoresEveryValueAtItsOffset) {
    const Portion portion = two_channel_analog();
    ASSERT_EQ(portion.size(), 47);

    int consumed = 0;
    const std::string trace = printed_by([&] { consumed = feed(*unit_, &ProbeAC::parse40_41, portion); });

    EXPECT_EQ(consumed, 47);
    EXPECT_EQ(trace, "a:220.5 b:221 c:219.75 f:50\na:0 b:380 c:0 f:49.9\n");
    EXPECT_EQ(unit_->record().channel_count, 2);
    ASSERT_EQ(unit_->items().size(), 2u);

    const auto& first = unit_->items()[0];
    EXPECT_EQ(raw(first, 0, 4), float_bytes(220.5f));
    EXPECT_EQ(raw(first, 4, 4), float_bytes(221.0f));
    EXPECT_EQ(raw(first, 8, 4), float_bytes(219.75f));
    EXPECT_EQ(raw(first, 12, 4), float_bytes(50.0f));
    const auto& second = unit_->items()[1];
    EXPECT_EQ(raw(second, 0, 4), kZero) << "blanks in a voltage are stored as 0.0";
    EXPECT_EQ(raw(second, 4, 4), float_bytes(380.0f));
    EXPECT_EQ(raw(second, 8, 4), kZero);
    EXPECT_EQ(raw(second, 12, 4), float_bytes(49.9f));

    EXPECT_EQ(raw(unit_->record(), 4, 4), float_bytes(12.5f));
    EXPECT_EQ(raw(unit_->record(), 8, 4), kNotProvidedCurrent) << "FF FF FF FF in a current is stored as -0.1";
    EXPECT_EQ(raw(unit_->record(), 12, 4), kZero) << "four zero bytes are an ordinary 0.0";
    EXPECT_EQ(events(EventKind::Log).size(), 0u);
}

// A reconfigured unit: an answer with another channel count is followed when it holds that many
// channels (one log line, new channels filled from the answer); one that does not is refused untouched.
TEST_F(AcParseTest, AnalogPortionWithAnotherChannelCountIsFollowedWhenItHoldsThatMany) {
    const std::vector<std::uint8_t> v = float_bytes(1.0f);
    const ChannelAnalog ones{v, v, v, v};
    struct Case {
        const char* what;
        std::vector<ChannelAnalog> channels;
        int cut;  // bytes missing from the end
        int result;
        std::size_t channelsAfter;
    };
    const Case cases[] = {
        {"one more channel", {ones, ones, ones}, 0, 13 + 17 * 3, 3},
        {"one channel less", {ones}, 0, 13 + 17, 1},
        {"no channel left", {}, 0, 13, 0},
        {"three announced, the last current missing", {ones, ones, ones}, 4, -1, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        recorder_->clear();
        unit_ = make_unit();
        establish_two_channels();
        const std::vector<std::uint8_t> before = raw(unit_->record(), 0, sizeof(tele_c_ktr40e_ac));
        const Portion portion = analog_portion(c.channels, v, v, v);
        EXPECT_EQ(feed_quietly(*unit_, portion.bytes(), portion.bytes().size() - c.cut), c.result);
        ASSERT_EQ(unit_->items().size(), c.channelsAfter);
        EXPECT_EQ(unit_->record().channel_count, c.channelsAfter);
        if (c.result < 0) {
            EXPECT_EQ(raw(unit_->record(), 0, sizeof(tele_c_ktr40e_ac)), before);
            EXPECT_EQ(events(EventKind::Log).size(), 0u);
            continue;
        }
        for (const tele_c_ktr40e_ac_channel& channel : unit_->items()) EXPECT_EQ(channel.a, 1.0f);
        EXPECT_EQ(unit_->record().ic, 1.0f);
        expect_single_log("PMBusPowerAC:{} channel_count changed from {} to {}",
                          {"4001", "2", std::to_string(c.channelsAfter)});
    }
}

TEST_F(AcParseTest, AnalogUserCountIsLoggedAndItsValuesSkipped) {
    const std::vector<std::uint8_t> v = float_bytes(230.0f);
    Portion portion;
    portion.u8(2).append(v).append(v).append(v).append(v).u8(1).repeat(0x55, 4);  // channel 0 with P = 1
    portion.append(float_bytes(231.0f)).append(v).append(v).append(v).u8(0);      // channel 1
    portion.append(float_bytes(5.0f)).append(float_bytes(6.0f)).append(float_bytes(7.0f));

    EXPECT_EQ(feed_quietly(*unit_, portion.bytes(), portion.bytes().size()), 51);
    EXPECT_EQ(unit_->items()[0].p40_41, 1);
    EXPECT_EQ(raw(unit_->items()[1], 0, 4), float_bytes(231.0f));
    EXPECT_EQ(raw(unit_->record(), 12, 4), float_bytes(7.0f));
    expect_single_log("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", {"4001", "1", "0"});
}

// ---- 40/43 ----

TEST_F(AcParseTest, StatusPortionStoresTheAirSwitchStates) {
    const Portion portion = Portion().u8(3).u8(1).u8(0).u8(1).u8(0);
    EXPECT_EQ(feed(*unit_, &ProbeAC::parse40_43, portion), 5);
    EXPECT_EQ(unit_->record().airlock_count, 3);
    EXPECT_EQ(raw(unit_->record(), 18, 4), (std::vector<std::uint8_t>{1, 0, 1, 0}));
    EXPECT_EQ(events(EventKind::Log).size(), 0u);
}

// The record says what it holds: eight states and a count of 8; the log line has the real number.
TEST_F(AcParseTest, StatusPortionWithTooManyAirSwitchesKeepsTheFirstEightAndIsTaken) {
    const Portion nine = Portion().u8(9).append({1, 2, 3, 4, 5, 6, 7, 8, 9}).u8(0);
    EXPECT_EQ(feed(*unit_, &ProbeAC::parse40_43, nine), 11);
    EXPECT_EQ(unit_->record().airlock_count, 8);
    EXPECT_EQ(raw(unit_->record(), 18, 9), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0}))
        << "the ninth state is not written over p40_43";
    expect_single_log("ProcotolError %u read 40_43 m is %d max %d", {"4001", "9", "8"});

    // The skipped states still count against the length.
    recorder_->clear();
    EXPECT_EQ(feed(*unit_, &ProbeAC::parse40_43, Portion().u8(9).repeat(1, 9)), -1);
}

TEST_F(AcParseTest, StatusUserCountIsCountedWithoutLookingAtTheLength) {
    // P = 2 announced, but the portion ends right after the count byte.
    const Portion portion = Portion().u8(1).u8(1).u8(2);
    EXPECT_EQ(feed(*unit_, &ProbeAC::parse40_43, portion), 1 + 1 + 1 + 2);
    EXPECT_EQ(unit_->record().p40_43, 2);
    expect_single_log("PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}", {"4001", "2", "0"});
}

// ---- 40/44 ----

TEST_F(AcParseTest, AlarmPortionFollowsTheEstablishedChannels) {
    establish_two_channels();
    ChannelAlarms first{1, 2, 3, 0, {1, 2, 3, 4, 5, 6}};
    ChannelAlarms second{0, 0, 2, 3, {9, 9, 9, 9, 9, 9}};
    Portion portion = alarm_portion({first, second}, 1, 2, 3);
    ASSERT_EQ(portion.size(), 4 + 12 * 2);

    EXPECT_EQ(feed(*unit_, &ProbeAC::parse40_44, portion), 28);
    const auto& one = unit_->items()[0];
    EXPECT_EQ(raw(one, 17, 11), (std::vector<std::uint8_t>{1, 2, 3, 0, 6, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(raw(unit_->items()[1], 17, 4), (std::vector<std::uint8_t>{0, 0, 2, 3}));
    EXPECT_EQ(raw(unit_->record(), 27, 3), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(AcParseTest, AlarmPortionBeforeAnyAnalogAnswerTakesFourBytes) {
    // The count byte says 2, but the portion holds no channel block: only the current states follow.
    EXPECT_EQ(feed(*unit_, &ProbeAC::parse40_44, Portion().u8(2).u8(3).u8(0).u8(1)), 4);
    EXPECT_EQ(raw(unit_->record(), 27, 3), (std::vector<std::uint8_t>{3, 0, 1}));
    EXPECT_TRUE(unit_->items().empty());
}

// The count byte is not read: whatever it says (devices send 0 or 1 for two channels), the blocks
// follow the unit's own channel count, which only the analog answer changes.
TEST_F(AcParseTest, AlarmPortionReadsTheUnitsChannelsWhateverItsCountByteSays) {
    establish_two_channels();
    for (const std::uint8_t countByte : std::vector<std::uint8_t>{0, 1, 2, 3, 0xFF}) {
        SCOPED_TRACE(static_cast<int>(countByte));
        Portion portion = alarm_portion({{1, 1, 1, 1}, {2, 0, 3, countByte}}, 0, 0, 1);
        std::vector<std::uint8_t> bytes = portion.bytes();
        bytes[0] = countByte;
        EXPECT_EQ(feed(*unit_, &ProbeAC::parse40_44, bytes, bytes.size()), 4 + 12 * 2);
        ASSERT_EQ(unit_->items().size(), 2u);
        EXPECT_EQ(unit_->record().channel_count, 2);
        EXPECT_EQ(raw(unit_->items()[1], 17, 4), (std::vector<std::uint8_t>{2, 0, 3, countByte}));
        EXPECT_EQ(unit_->record().ic_alert, 1);
    }
    EXPECT_TRUE(events(EventKind::Log).empty());
}

TEST_F(AcParseTest, AlarmFurtherStatesAreLoggedAndSkipped) {
    establish_two_channels();
    Portion portion;
    portion.u8(2).u8(1).u8(1).u8(1).u8(1).u8(2).u8(0xAA).u8(0xBB).u8(6).repeat(4, 6);  // m = 2
    portion.u8(2).u8(2).u8(2).u8(2).u8(0).u8(6).repeat(5, 6);
    portion.u8(0).u8(0).u8(3);
    EXPECT_EQ(feed(*unit_, &ProbeAC::parse40_44, portion), 30);
    EXPECT_EQ(unit_->items()[0].p40_44_value[0], 4);
    EXPECT_EQ(unit_->items()[1].a_alert, 2);
    EXPECT_EQ(unit_->record().ic_alert, 3);
    expect_single_log("PMBusPowerAC:ProcotolError {} read 40_44 m is {}", {"4001", "2"});
    EXPECT_EQ(events(EventKind::Log)[0].args[1].kind, site::LogValue::Kind::Signed);
}

TEST_F(AcParseTest, AlarmUserCountOtherThanSixKeepsTheEarlierBytes) {
    establish_two_channels();
    ASSERT_EQ(feed(*unit_, &ProbeAC::parse40_44, alarm_portion({{0, 0, 0, 0, {1, 2, 3, 4, 5, 6}}, {}}, 0, 0, 0)), 28);

    Portion portion;
    portion.u8(2).u8(0).u8(0).u8(0).u8(0).u8(0).u8(5).repeat(0xEE, 5);  // P = 5
    portion.u8(1).u8(0).u8(0).u8(0).u8(0).u8(6).repeat(7, 6);
    portion.u8(2).u8(2).u8(2);
    EXPECT_EQ(feed(*unit_, &ProbeAC::parse40_44, portion), 27);
    const auto& first = unit_->items()[0];
    EXPECT_EQ(first.p40_44, 5);
    EXPECT_EQ(raw(first, 22, 6), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(unit_->items()[1].a_alert, 1);
    EXPECT_EQ(unit_->record().ib_alert, 2);
    expect_single_log("PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}", {"4001", "5", "6"});
}

// ---- truncated portions ----

// Every prefix of a valid portion is refused with -1 and the overflow line, which names the
// length needed up to the item that did not fit. Each prefix lies in a buffer of exactly its
// size, so a read past it fails under AddressSanitizer.
class AcTruncationTest : public AcParseTest {
protected:
    void expect_every_prefix_refused(Parse parse, const Portion& portion, const std::string& format,
                                     const std::vector<int>& itemEnds, bool withTwoChannels) {
        ASSERT_EQ(itemEnds.back(), portion.size());
        for (int len = 0; len < portion.size(); ++len) {
            SCOPED_TRACE("prefix of " + std::to_string(len) + " bytes");
            recorder_->clear();
            unit_ = make_unit();
            if (withTwoChannels) establish_two_channels();
            int result = 0;
            printed_by([&] { result = feed(*unit_, parse, portion.bytes(), static_cast<std::size_t>(len)); });
            EXPECT_EQ(result, -1);
            const int needed = *std::upper_bound(itemEnds.begin(), itemEnds.end(), len);
            expect_single_log(format, {"4001", std::to_string(needed), std::to_string(len)});
        }
    }
};

TEST_F(AcTruncationTest, AnalogPrefixes) {
    expect_every_prefix_refused(&ProbeAC::parse40_41, two_channel_analog(),
                                "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}",
                                {1, 5, 9, 13, 17, 18, 22, 26, 30, 34, 35, 39, 43, 47}, false);
}

TEST_F(AcTruncationTest, StatusPrefixes) {
    expect_every_prefix_refused(&ProbeAC::parse40_43, Portion().u8(3).u8(1).u8(0).u8(1).u8(0),
                                "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}", {1, 4, 5}, false);
}

TEST_F(AcTruncationTest, AlarmPrefixes) {
    expect_every_prefix_refused(&ProbeAC::parse40_44, alarm_portion({{1, 1, 1, 1}, {2, 2, 2, 2}}, 1, 2, 3),
                                "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}",
                                {1, 2, 3, 4, 5, 6, 7, 13, 14, 15, 16, 17, 18, 19, 25, 26, 27, 28}, true);
}

TEST_F(AcTruncationTest, SkippedUserValuesStillCountAgainstTheLength) {
    // Channel 0 announces P = 2: the 8 skipped bytes are missing from the portion.
    Portion portion;
    portion.u8(1).repeat(0, 16).u8(2);
    EXPECT_EQ(feed_quietly(*unit_, portion.bytes(), portion.bytes().size()), -1);
    const std::vector<site::Event> logs = events(EventKind::Log);
    ASSERT_EQ(logs.size(), 2u);
    // The first shortfall is logged: the skipped values end at byte 26, past the portion's 18.
    EXPECT_EQ(logs[1].arg_texts(), (std::vector<std::string>{"4001", "26", "18"}));
}

TEST_F(AcTruncationTest, NegativeLengthIsAnOverflow) {
    const unsigned char byte = 0;
    EXPECT_EQ(unit_->parse40_43(&byte, -3), -1);
    expect_single_log("PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}", {"4001", "1", "-3"});
}

// ---- Sample answers of the line: one AC unit with two input channels ----
// The power system device hands the unit its portion after DATAFLAG and the unit count.

// DATAFLAG 00, 1 unit | 2 channels | channel 1: a 381.0, b 379.5, c 380.2, f 50.0, P 0 |
// channel 2: a, b, c 380.0, f not provided, P 0 | ia 21.5, ib 20.8, ic 22.1
constexpr char kAnalogSample[] =
    "0001 02 0080BE43 00C0BD43 9A19BE43 00004842 00 0000BE43 0000BE43 0000BE43 20202020 00 0000AC41 6666A641 CDCCB041";
// DATAFLAG 00, 1 unit | 3 air switches: off, on, off | P 0
constexpr char kStatusSample[] = "0001 03 000100 00";
// DATAFLAG 00, 1 unit | 2 channels | channel 1: a, b, c, f normal, no further states, P 6, six user bytes 0 |
// channel 2: a too low, b, c, f normal, no further states, P 6, user bytes 0 0 0 0 0 E2 | ia, ib normal, ic too high
constexpr char kAlarmSample[] = "0001 02 00000000 00 06000000000000 01000000 00 060000000000E2 000002";

std::vector<std::uint8_t> portion_of(const char* sample) {
    const std::vector<std::uint8_t> info = info_from_hex(sample);
    return std::vector<std::uint8_t>(info.begin() + 2, info.end());
}

TEST_F(AcParseTest, SampleAnalogAnswer) {
    const std::vector<std::uint8_t> portion = portion_of(kAnalogSample);
    ASSERT_EQ(feed_quietly(*unit_, portion, portion.size()), static_cast<int>(portion.size()));
    ASSERT_EQ(unit_->items().size(), 2u);
    const tele_c_ktr40e_ac_channel& first = unit_->items()[0];
    const tele_c_ktr40e_ac_channel& second = unit_->items()[1];
    EXPECT_FLOAT_EQ(float{first.a}, 381.0f);
    EXPECT_FLOAT_EQ(float{first.b}, 379.5f);
    EXPECT_FLOAT_EQ(float{first.c}, 380.2f);
    EXPECT_FLOAT_EQ(float{first.f}, 50.0f);
    EXPECT_FLOAT_EQ(float{second.c}, 380.0f);
    EXPECT_FLOAT_EQ(float{second.f}, 0.0f) << "not provided";
    const tele_c_ktr40e_ac& unit = unit_->record();
    EXPECT_EQ(unit.channel_count, 2);
    EXPECT_FLOAT_EQ(float{unit.ia}, 21.5f);
    EXPECT_FLOAT_EQ(float{unit.ib}, 20.8f);
    EXPECT_FLOAT_EQ(float{unit.ic}, 22.1f);
}

TEST_F(AcParseTest, SampleStatusAnswer) {
    const std::vector<std::uint8_t> portion = portion_of(kStatusSample);
    ASSERT_EQ(feed(*unit_, &ProbeAC::parse40_43, portion, portion.size()), static_cast<int>(portion.size()));
    const tele_c_ktr40e_ac& unit = unit_->record();
    EXPECT_EQ(unit.airlock_count, 3);
    EXPECT_EQ(raw(unit, 18, 8), (std::vector<std::uint8_t>{0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(unit.p40_43, 0);
}

TEST_F(AcParseTest, SampleAlarmAnswer) {
    const std::vector<std::uint8_t> analog = portion_of(kAnalogSample);
    ASSERT_EQ(feed_quietly(*unit_, analog, analog.size()), static_cast<int>(analog.size()));
    const std::vector<std::uint8_t> portion = portion_of(kAlarmSample);
    ASSERT_EQ(feed(*unit_, &ProbeAC::parse40_44, portion, portion.size()), static_cast<int>(portion.size()));
    const tele_c_ktr40e_ac_channel& second = unit_->items()[1];
    EXPECT_EQ(second.a_alert, 1);
    EXPECT_EQ(second.f_alert, 0);
    EXPECT_EQ(second.p40_44, 6);
    EXPECT_EQ(raw(second, 22, 6), (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0xE2}));
    EXPECT_EQ(unit_->items()[0].a_alert, 0);
    EXPECT_EQ(unit_->record().ic_alert, 2);
    EXPECT_EQ(events(EventKind::Log).size(), 0u);
}

}  // namespace
