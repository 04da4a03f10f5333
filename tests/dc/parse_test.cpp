// The 42/41 analog block and the 42/44 alarm block: offsets, counts, invalid values,
// messages and the bounds of the block.
#include <gtest/gtest.h>

#include <memory>

#include "dc/dc_test_unit.h"
#include "tests/shared/stdout_capture.h"
#include "tests/shared/wire_sample.h"

using namespace dctest;

namespace {

const char* const kAnalogOverflow = "PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}";
const char* const kAlarmOverflow = "PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}";
const Bytes kNotProvided{0xCD, 0xCC, 0xCC, 0xBD};  // -0.1f

std::vector<std::string> logged(const Rig& rig, const char* format) {
    for (const site::Event& e : rig.recorder->of(site::EventKind::Log))
        if (e.format == format) return e.arg_texts();
    return {};
}

Bytes fuse_pattern(std::size_t count) {
    Bytes fuses(count);
    for (std::size_t k = 0; k < count; ++k) fuses[k] = static_cast<std::uint8_t>(k + 1);
    return fuses;
}

// Calls the parser on an exactly sized heap copy of the first `length` bytes, so that a
// read past the end is a sanitizer error.
int parse_prefix(int (ProbedDC::*parse)(const unsigned char*, int), ProbedDC& unit, const Bytes& block,
                 std::size_t length) {
    std::unique_ptr<unsigned char[]> copy(new unsigned char[length]);
    std::copy(block.begin(), block.begin() + static_cast<long>(length), copy.get());
    return (unit.*parse)(copy.get(), static_cast<int>(length));
}

}  // namespace

TEST(DcAnalogBlock, StoresEveryValueAtItsOffset) {
    Rig rig;
    const Bytes block = analog_block(53.5f, 21.0f, {4.5f}, {7.25f, -1.5f}, {});
    ASSERT_EQ(block.size(), 23u);
    EXPECT_EQ(parse41(*rig.unit, block), 23);
    const Bytes image = rig.unit->records();
    EXPECT_FLOAT_EQ(float_at(image, 4), 53.5f);
    EXPECT_FLOAT_EQ(float_at(image, 8), 21.0f);
    EXPECT_EQ(image[12], 1);
    EXPECT_FLOAT_EQ(float_at(image, 13), 4.5f);
    EXPECT_EQ(image[29], 2);
    EXPECT_FLOAT_EQ(float_at(image, 30), 7.25f);
    EXPECT_FLOAT_EQ(float_at(image, 34), -1.5f);
    EXPECT_EQ(image[66], 0);
    EXPECT_EQ(rig.recorder->count(site::EventKind::Log), 0u);
}

TEST(DcAnalogBlock, TooManyBatteryCurrentsAreSkippedAndKeepTheOldOnes) {
    Rig rig;
    ASSERT_EQ(parse41(*rig.unit, analog_block(1.0f, 2.0f, {9.0f}, {}, {})), 15);
    const Bytes block = analog_block(1.0f, 2.0f, {11, 12, 13, 14, 15}, {6.5f}, {});
    EXPECT_EQ(parse41(*rig.unit, block), 35);
    const Bytes image = rig.unit->records();
    EXPECT_EQ(image[12], 5);
    EXPECT_FLOAT_EQ(float_at(image, 13), 9.0f);
    EXPECT_FLOAT_EQ(float_at(image, 17), 0.0f);
    EXPECT_EQ(image[29], 1);  // n taken from block offset 29
    EXPECT_FLOAT_EQ(float_at(image, 30), 6.5f);
    EXPECT_EQ(logged(rig, "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}"),
              (std::vector<std::string>{"7", "5", "4"}));
}

// Nine user values for a record of eight: the first eight are kept and the block ends after the
// ninth, so a unit behind it would be fed from its own block.
TEST(DcAnalogBlock, TooManyUserValuesKeepWhatFitsAndUseExactlyTheirBlock) {
    Rig rig;
    std::vector<Bytes> values;
    for (std::uint8_t k = 1; k <= 9; ++k) values.push_back(Bytes{0, 0, k, 0x40});
    Bytes block = analog_block(1.0f, 2.0f, {}, {}, values);
    const int blockSize = static_cast<int>(block.size());
    block.insert(block.end(), {0xAA, 0xBB, 0xCC, 0xDD});  // the next unit's block
    EXPECT_EQ(parse41(*rig.unit, block), blockSize);
    const Bytes image = rig.unit->records();
    EXPECT_EQ(image[66], 9);
    for (std::uint8_t k = 0; k < 8; ++k) EXPECT_EQ(slice(image, 67 + 4 * k, 4), values[k]) << "value " << int(k);
    EXPECT_EQ(image[99], 0) << "nothing is written past the user values";
    EXPECT_EQ(logged(rig, "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}"),
              (std::vector<std::string>{"7", "9", "8"}));

    // The ninth value cut short: the block does not hold what it announces.
    block.resize(static_cast<std::size_t>(blockSize) - 1);
    EXPECT_EQ(parse41(*rig.unit, block), -1);
}

TEST(DcAnalogBlock, UserValuesMarkedNotProvidedBecomeMinusPointOne) {
    Rig rig;
    const Bytes blanks{0x20, 0x20, 0x20, 0x20};
    const Bytes block =
        analog_block(1.0f, 2.0f, {}, {},
                     {blanks, Bytes{0, 0, 0, 0}, Bytes{1, 1, 1, 2}, Bytes{0xFF, 0xFF, 0xFF, 0xFF}, Bytes{0, 7, 7, 7}});
    EXPECT_EQ(parse41(*rig.unit, block), 31);
    const Bytes image = rig.unit->records();
    EXPECT_EQ(slice(image, 67, 4), kNotProvided);
    EXPECT_EQ(slice(image, 71, 4), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(slice(image, 75, 4), (Bytes{1, 1, 1, 2}));
    EXPECT_EQ(slice(image, 79, 4), kNotProvided);
    EXPECT_EQ(slice(image, 83, 4), (Bytes{0, 7, 7, 7}));
}

TEST(DcAnalogBlock, OneByteShortLogsTheNeededLengthAndKeepsWhatWasRead) {
    Rig rig;
    Bytes block = analog_block(53.5f, 21.0f, {4.5f}, {7.25f, -1.5f}, {Bytes{9, 9, 9, 1}});
    block.pop_back();
    EXPECT_EQ(parse41(*rig.unit, block), -1);
    EXPECT_EQ(logged(rig, kAnalogOverflow), (std::vector<std::string>{"7", "27", "26"}));
    const Bytes image = rig.unit->records();
    EXPECT_FLOAT_EQ(float_at(image, 34), -1.5f);
    EXPECT_EQ(image[66], 1);
    EXPECT_EQ(slice(image, 67, 4), Bytes(4, 0));
}

TEST(DcAnalogBlock, PrintsOneTraceLinePerBlockAlsoWhenItFails) {
    Rig rig;
    const Bytes good = analog_block(51.2f, 0, {}, {}, {});  // 51.2f = 42 4C CC CD
    const Bytes cut(good.begin(), good.begin() + 6);
    StdoutCapture capture;
    parse41(*rig.unit, good);
    parse41(*rig.unit, cut);
    parse41(*rig.unit, Bytes(good.begin(), good.begin() + 2));
    rig.unit->parse42_41(nullptr, 0);
    EXPECT_EQ(capture.finish(),
              "parse 42 41: cd cc 4c 42\n"
              "parse 42 41: cd cc 4c 42\n"
              "parse 42 41: cd cc\n"
              "parse 42 41:\n");
}

TEST(DcAlarmBlock, MoreFusesThanCapacityStoreTheFirst64Silently) {
    Rig rig;
    const Bytes states = fuse_pattern(17);
    Bytes block = alarm_block(2, fuse_pattern(70), states);
    block.insert(block.end(), 5, 0xEE);
    EXPECT_EQ(parse44(*rig.unit, block), 90);
    const Bytes image = rig.unit->records();
    EXPECT_EQ(image[99], 2);
    EXPECT_EQ(image[100], 70);
    EXPECT_EQ(slice(image, 101, 64), fuse_pattern(64));
    EXPECT_EQ(image[165], 17);
    EXPECT_EQ(slice(image, 166, 17), states);
    EXPECT_EQ(rig.recorder->count(site::EventKind::Log), 0u);
}

TEST(DcAlarmBlock, MoreUserStatesThanCapacityStoreTheFirst17) {
    Rig rig;
    const Bytes block = alarm_block(1, fuse_pattern(3), Bytes(18, 0xE2));
    EXPECT_EQ(parse44(*rig.unit, block), 3 + 3 + 18);
    const Bytes image = rig.unit->records();
    EXPECT_EQ(image[165], 18);
    EXPECT_EQ(slice(image, 166, 17), Bytes(17, 0xE2));
    EXPECT_EQ(slice(image, 183, 7), Bytes(7, 0));  // the 18th state lands nowhere
    EXPECT_EQ(logged(rig, "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}"),
              (std::vector<std::string>{"7", "18", "17"}));
}

TEST(DcAlarmBlock, OneByteShortLogsAndFails) {
    Rig rig;
    Bytes block = alarm_block(1, Bytes{3, 0}, fuse_pattern(17));
    block.pop_back();
    EXPECT_EQ(parse44(*rig.unit, block), -1);
    EXPECT_EQ(logged(rig, kAlarmOverflow), (std::vector<std::string>{"7", "22", "21"}));
    const Bytes image = rig.unit->records();
    EXPECT_EQ(image[99], 1);
    EXPECT_EQ(slice(image, 101, 2), (Bytes{3, 0}));
    EXPECT_EQ(image[165], 17);
}

// Every prefix of a valid block fails with the overflow message and never reads past it.
TEST(DcBlockBounds, EveryPrefixOfAnAnalogBlockIsRefused) {
    const Bytes blocks[] = {
        analog_block(1.0f, 2.0f, {3.0f, 4.0f}, {5.0f, 6.0f, 7.0f}, {Bytes{0x20, 0x20, 0x20, 0x20}, Bytes{1, 2, 3, 4}}),
        analog_block(1.0f, 2.0f, std::vector<float>(6, 1.0f), std::vector<float>(12, 1.0f), {Bytes{1, 2, 3, 4}}),
    };
    for (const Bytes& block : blocks) {
        for (std::size_t length = 0; length < block.size(); ++length) {
            Rig rig;
            StdoutCapture quiet;
            EXPECT_EQ(parse_prefix(&ProbedDC::parse42_41, *rig.unit, block, length), -1) << length;
            quiet.finish();
            const std::vector<std::string> args = logged(rig, kAnalogOverflow);
            ASSERT_EQ(args.size(), 3u) << length;
            EXPECT_GT(std::stoi(args[1]), static_cast<int>(length));
            EXPECT_EQ(args[2], std::to_string(length));
        }
        Rig rig;
        StdoutCapture quiet;
        EXPECT_EQ(parse_prefix(&ProbedDC::parse42_41, *rig.unit, block, block.size()), static_cast<int>(block.size()));
    }
}

TEST(DcBlockBounds, EveryPrefixOfAnAlarmBlockIsRefused) {
    const Bytes blocks[] = {alarm_block(1, fuse_pattern(4), fuse_pattern(17)),
                            alarm_block(2, fuse_pattern(66), fuse_pattern(19))};
    for (const Bytes& block : blocks) {
        for (std::size_t length = 0; length < block.size(); ++length) {
            Rig rig;
            EXPECT_EQ(parse_prefix(&ProbedDC::parse42_44, *rig.unit, block, length), -1) << length;
            const std::vector<std::string> args = logged(rig, kAlarmOverflow);
            ASSERT_EQ(args.size(), 3u) << length;
            EXPECT_GT(std::stoi(args[1]), static_cast<int>(length));
            EXPECT_EQ(args[2], std::to_string(length));
        }
        Rig rig;
        EXPECT_EQ(parse_prefix(&ProbedDC::parse42_44, *rig.unit, block, block.size()), static_cast<int>(block.size()));
    }
}

// ---- Sample answers of the line: one DC unit ----
// The power system device hands the unit its block after DATAFLAG and the unit count.

namespace {

Bytes block_of(const char* sample) {
    const Bytes info = info_from_hex(sample);
    return Bytes(info.begin() + 2, info.end());
}

}  // namespace

TEST(DcSampleAnswer, Analog) {
    // DATAFLAG 00, 1 unit | voltage 53.5, current 45.0 | 2 battery currents 5.0, 4.8 |
    // 4 branch currents 12.0, 10.0, 8.0, 15.0 | no user-defined values
    const Bytes block =
        block_of("0001 00005642 00003442 02 0000A040 9A999940 04 00004041 00002041 00000041 00007041 00");
    Rig rig;
    StdoutCapture capture;
    EXPECT_EQ(parse41(*rig.unit, block), static_cast<int>(block.size()));
    EXPECT_EQ(capture.finish(), "parse 42 41: 0 0 56 42\n");
    const tele_c_ktr40e_dc& record = rig.unit->record();
    EXPECT_FLOAT_EQ(float{record.voltage}, 53.5f);
    EXPECT_FLOAT_EQ(float{record.current}, 45.0f);
    EXPECT_EQ(record.dc_m, 2);
    EXPECT_FLOAT_EQ(float{record.m_value[1]}, 4.8f);
    EXPECT_EQ(record.dc_n, 4);
    EXPECT_FLOAT_EQ(float{record.n_value[0]}, 12.0f);
    EXPECT_FLOAT_EQ(float{record.n_value[3]}, 15.0f);
    EXPECT_EQ(record.p_count, 0);
}

TEST(DcSampleAnswer, Alarms) {
    // DATAFLAG 00, 1 unit | voltage normal | 2 fuses: intact, blown | 17 user states: battery 1 voltage low
    const Bytes block = block_of("0001 00 020003 11 0001000000000000000000000000000000");
    Rig rig;
    EXPECT_EQ(parse44(*rig.unit, block), static_cast<int>(block.size()));
    const tele_c_ktr40e_dc& record = rig.unit->record();
    EXPECT_EQ(record.voltage_state, 0);
    EXPECT_EQ(record.alert_m_count, 2);
    EXPECT_EQ(record.alert_m[0], 0);
    EXPECT_EQ(record.alert_m[1], 3);
    EXPECT_EQ(record.alert_p_count, 17);
    EXPECT_EQ(record.alert_p[1], 1);
    EXPECT_EQ(record.alert_p[16], 0);
    EXPECT_TRUE(rig.recorder->of(site::EventKind::Log).empty());
}
