// The rectifier group's answers as they land in its records and its published image.
#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "rc_rig.h"
#include "tests/shared/wire_sample.h"

namespace rctest {
namespace {

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + long(from), bytes.begin() + long(to));
}

void put(Bytes& image, std::size_t at, const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), image.begin() + at);
}

// The history image the five answers of rc_rig.h must give, written out by offset.
Bytes expected_image() {
    Bytes image(57 + 18 * 3, 0);
    put(image, 0, {kDataId, 0, 0, 0});
    for (std::uint8_t i = 0; i < 20; ++i) image[4 + i] = std::uint8_t(0x01 + i);
    put(image, 24, {0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38});
    image[32] = 3;
    for (std::uint8_t i = 0; i < 12; ++i) image[33 + i] = std::uint8_t(0x91 + i);
    put(image, 45, {0x41, 0x42, 0x43, 0x44});
    image[49] = 3;
    const std::uint8_t alarmBytes[3] = {0xE2, 0x01, 0x00};
    for (std::uint8_t i = 0; i < 3; ++i) {
        const std::size_t at = 57 + 18 * i;
        put(image, at,
            i == 2 ? Bytes{0x33, 0x33, 0x33, 0x33}
                   : Bytes{std::uint8_t(0x10 + i), std::uint8_t(0x20 + i), std::uint8_t(0x30 + i),
                           std::uint8_t(0x40 + i)});
        image[at + 4] = 1;
        if (i != 1)
            put(image, at + 5,
                {std::uint8_t(0x50 + i), std::uint8_t(0x60 + i), std::uint8_t(0x70 + i), std::uint8_t(0x80 + i)});
        put(image, at + 9,
            {std::uint8_t(0xA0 + i), std::uint8_t(0xB0 + i), std::uint8_t(0xC0 + i), 2, std::uint8_t(0xD0 + i),
             std::uint8_t(0xE0 + i)});
        image[at + 15] = i == 1 ? 1 : 0;
        image[at + 16] = 1;
        image[at + 17] = alarmBytes[i];
    }
    return image;
}

Bytes time_bytes(const boost::posix_time::ptime& at) {
    const tele_c_time stamp = get_ttime(at);
    Bytes out(7);
    std::memcpy(out.data(), &stamp, 7);
    return out;
}

void expect_log(const site::Event& log, const std::string& format, const std::vector<std::string>& args) {
    EXPECT_EQ(log.format, format);
    EXPECT_EQ(log.arg_texts(), args);
}

struct Latched : ::testing::Test {
    Rig rig;
    void SetUp() override { ASSERT_EQ(rig.feed(&Ktr40eRC::parse41_41, info41_41()), 33); }
    Bytes module(std::size_t index) const { return slice(rig.rc->records(), 57 + 18 * index, 57 + 18 * (index + 1)); }
};

TEST(RcImage, FiveAnswersLandAtTheirOffsetsAndArePublishedAndSavedByteForByte) {
    Rig rig;
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_41, info41_41()), 33);
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_43, info41_43()), 20);
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_44, info41_44()), 11);
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse40_46, info40_46()), 21);
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse42_46, info42_46()), 21);
    EXPECT_TRUE(rig.logs().empty());

    rig.rc->RoundDone();
    const auto published = rig.recorder->of(site::EventKind::Publish);
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].record, 5155);
    Bytes image = published[0].bytes;
    ASSERT_EQ(image.size(), 57u + 18 * 3);
    const Bytes stamp = slice(image, 50, 57);
    const boost::posix_time::ptime done = VRTHostAccess::last_update(*rig.rc);
    EXPECT_TRUE(stamp == time_bytes(done) || stamp == time_bytes(done + boost::posix_time::seconds(1)));
    std::fill(image.begin() + 50, image.begin() + 57, 0);
    EXPECT_EQ(image, expected_image());

    const auto saved = rig.recorder->of(site::EventKind::History);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].bytes, published[0].bytes);
    EXPECT_EQ(saved[0].record, 5155);
}

// A module pulled: an answer that holds exactly its modules is followed with one log line; one
// whose modules do not fill it is refused silently and leaves the modules as they were.
TEST(RcParse41_41, ModuleCountIsSetByTheFirstAnswerAndFollowsWholeAnswersWithAnother) {
    Rig rig;
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_41, {0x00, 1, 2, 3, 4, 0}), 6);
    EXPECT_EQ(rig.rc->items().size(), 0u);
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_41, info41_41()), 33);
    ASSERT_EQ(rig.rc->items().size(), 3u);
    EXPECT_TRUE(rig.logs().empty()) << "the first count is no change";
    const Bytes before = rig.rc->records();

    Bytes two = {0x00, 9, 9, 9, 8, 2};
    for (int i = 0; i < 2; ++i) two.insert(two.end(), {5, 5, 5, 5, 1, 6, 6, 6, 6});
    Bytes cut = two;
    cut.pop_back();
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_41, cut), -1);
    EXPECT_TRUE(rig.logs().empty());
    Bytes after = rig.rc->records();
    EXPECT_EQ(slice(after, 45, 49), (Bytes{9, 9, 9, 8}));  // read before the count
    std::copy(before.begin() + 45, before.begin() + 49, after.begin() + 45);
    EXPECT_EQ(after, before);

    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_41, two), 24);
    ASSERT_EQ(rig.rc->items().size(), 2u);
    EXPECT_EQ(rig.rc->records()[49], 2);
    EXPECT_EQ(slice(rig.rc->records(), 57 + 18, 57 + 18 + 5), (Bytes{5, 5, 5, 5, 1}));
    ASSERT_EQ(rig.logs().size(), 1u);
    expect_log(rig.logs()[0], "PMBusPowerRC:{} module_count changed from {} to {}", {"7", "3", "2"});
}

TEST_F(Latched, WrongUserCountIsLoggedAndSkippedAndTheAnswerStillCounts) {
    Bytes info = info41_41();
    info[6 + 4] = 2;  // module 1 announces two values
    info.insert(info.begin() + 6 + 9, {0xEE, 0xEE, 0xEE, 0xEE});
    info[6 + 9 + 4] = 0x77;  // module 2 current, after the skipped eight bytes
    const Bytes before = module(0);
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_41, info), int(info.size()));
    ASSERT_EQ(rig.logs().size(), 1u);
    expect_log(rig.logs()[0], "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}",
               {"7", "2", "1"});
    const Bytes first = module(0);
    EXPECT_EQ(first[4], 2);  // count as received
    EXPECT_EQ(slice(first, 5, 9), slice(before, 5, 9));
    EXPECT_EQ(module(1)[0], 0x77);
}

TEST_F(Latched, SkippedValuesPastTheEndAreAReadOverflow) {
    Bytes info = info41_41();
    info[6 + 18 + 4] = 2;  // the last module announces 8 bytes but sends 4
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_41, info), -1);
    const auto logs = rig.logs();
    ASSERT_EQ(logs.size(), 2u);
    expect_log(logs[1], "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}", {"7", "37", "33"});
}

TEST_F(Latched, AnswerEndingInsideAModuleIsRefusedWithTheLengthNeeded) {
    Bytes info = info41_41();
    info[1] = 0x99;
    info[6] = 0x98;
    info.resize(17);  // module 2 ends after two bytes of its current
    const Bytes second = module(1);
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_41, info), -1);
    ASSERT_EQ(rig.logs().size(), 1u);
    expect_log(rig.logs()[0], "PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}",
               {"7", "19", "17"});
    EXPECT_EQ(rig.rc->records()[45], 0x99);  // fields read before stay stored
    EXPECT_EQ(module(0)[0], 0x98);
    EXPECT_EQ(module(1), second);

    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_41, {0x00, 1, 2}), -1);
    expect_log(rig.logs()[1], "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}", {"7", "5", "3"});
}

TEST_F(Latched, StatusAnswerSkipsWrongCountsAndRefusesUnknownModules) {
    Bytes info = info41_43();
    info[2 + 6 + 3] = 3;  // module 2 announces three bytes
    info.insert(info.begin() + 2 + 12, 0x5A);
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_43, info), int(info.size()));
    ASSERT_EQ(rig.logs().size(), 1u);
    expect_log(rig.logs()[0], "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}",
               {"7", "3", "2"});
    EXPECT_EQ(module(1)[12], 3);
    EXPECT_EQ(module(1)[13], 0);
    EXPECT_EQ(slice(module(2), 9, 15), (Bytes{0xA2, 0xB2, 0xC2, 2, 0xD2, 0xE2}));

    const Bytes before = rig.rc->records();
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_43, {0x00, 4, 1, 1, 1, 2, 1, 1}), -1);
    EXPECT_EQ(rig.logs().size(), 1u);
    EXPECT_EQ(rig.rc->records(), before);

    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_43, {0x00, 1, 1, 2, 3, 2, 4, 5}), 8);  // only module 1 changes
    EXPECT_EQ(slice(module(0), 9, 15), (Bytes{1, 2, 3, 2, 4, 5}));
    EXPECT_EQ(module(1), slice(before, 75, 93));
}

TEST_F(Latched, AlarmAnswerForMoreModulesIsFollowedWhenWholeElseLoggedAndCountsZero) {
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_44, {0x00, 4, 0, 1, 0, 0, 1, 0, 0, 1, 0}), 0);
    ASSERT_EQ(rig.logs().size(), 1u);
    expect_log(
        rig.logs()[0],
        "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not equal {} != {} ",
        {"7", "4", "3"});

    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_44, info41_44()), 11);
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_44, {0x00, 1, 1, 0}), 4);
    expect_log(rig.logs()[1], "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}",
               {"7", "0", "1"});

    EXPECT_EQ(slice(module(0), 15, 18), (Bytes{1, 0, 0xE2}));  // alarm byte keeps its value
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_44, {0x00, 4, 0, 1, 0, 0, 1, 0, 0, 1, 0, 1, 1, 0xE2}), 14);
    ASSERT_EQ(rig.rc->items().size(), 4u);
    EXPECT_EQ(slice(module(3), 15, 18), (Bytes{1, 1, 0xE2}));
    expect_log(rig.logs()[2], "PMBusPowerRC:{} module_count changed from {} to {}", {"7", "3", "4"});
}

TEST(RcParse40_46, UserParametersAreCountedNotReadAndAMissingCountIsAnOverflow) {
    Rig rig;
    Bytes info = info40_46();
    info[20] = 2;
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse40_46, info), 29);
    EXPECT_EQ(rig.rc->records()[4 + 19], 0x14);
    info.resize(20);
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse40_46, info), -1);
    ASSERT_EQ(rig.logs().size(), 1u);
    expect_log(rig.logs()[0], "PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}", {"7", "21", "20"});
}

TEST(RcParse42_46, ShortAnswerFillsTheFrontWrongCountIsSkippedTooShortIsRefused) {
    Rig rig;
    ASSERT_EQ(rig.feed(&Ktr40eRC::parse42_46, info42_46()), 21);
    Bytes shortInfo = {1, 2, 3, 4, 5, 6, 7, 8, 3, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse42_46, shortInfo), 15);
    Bytes group = rig.rc->records();
    EXPECT_EQ(slice(group, 33, 45), (Bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9C}));

    EXPECT_EQ(rig.feed(&Ktr40eRC::parse42_46, {9, 9, 9, 9, 9, 9, 9, 9, 4}), 25);
    ASSERT_EQ(rig.logs().size(), 1u);
    expect_log(rig.logs()[0], "TXH21F:ProcotolError parse42_46 {} p:{} != {}", {"7", "4", "3"});
    const Bytes afterMismatch = rig.rc->records();
    EXPECT_EQ(afterMismatch[32], 4);
    EXPECT_EQ(slice(afterMismatch, 33, 45), slice(group, 33, 45));

    EXPECT_EQ(rig.feed(&Ktr40eRC::parse42_46, {1, 1, 1, 1, 1, 1, 1, 1}), -1);
    expect_log(rig.logs()[1], "PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}", {"7", "9", "8"});
}

TEST_F(Latched, EveryPrefixOfAValidAnswerIsRefusedOrCountedAndNeverReadPast) {
    const std::vector<std::pair<Rig::Parser, Bytes>> answers = {{&Ktr40eRC::parse41_41, info41_41()},
                                                                {&Ktr40eRC::parse41_43, info41_43()},
                                                                {&Ktr40eRC::parse41_44, info41_44()},
                                                                {&Ktr40eRC::parse40_46, info40_46()},
                                                                {&Ktr40eRC::parse42_46, info42_46()}};
    for (const auto& [parser, info] : answers) {
        const int full = int(info.size());
        for (int k = 0; k <= full; ++k) {
            SCOPED_TRACE("prefix " + std::to_string(k) + " of " + std::to_string(full));
            const std::size_t logsBefore = rig.logs().size();
            const int used = rig.feed(parser, Bytes(info.begin(), info.begin() + k));
            if (k == full) {
                EXPECT_EQ(used, full);
            } else if (used == -1) {
                const auto logs = rig.logs();
                ASSERT_EQ(logs.size(), logsBefore + 1);
                const auto args = logs.back().arg_texts();
                ASSERT_EQ(args.size(), 3u);
                EXPECT_GT(std::stoi(args[1]), k);
                EXPECT_LE(std::stoi(args[1]), full);
                EXPECT_EQ(args[2], std::to_string(k));
            } else {
                EXPECT_GE(used, 0);
                EXPECT_LE(used, k);
            }
        }
    }
}

// ---- Sample answers of the line: three rectifier modules ----
// The group reads each answer's whole INFO.

TEST(RcSampleAnswer, Analog) {
    // DATAFLAG 00 | output voltage 53.5 | 3 modules | each: current, P 1, one user value:
    // 15.0 and 0.0; 15.2 and 0.0; 14.9 and not provided
    const Bytes info = info_from_hex("00 00005642 03 00007041 01 00000000 33337341 01 00000000 66666E41 01 20202020");
    Rig rig;
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_41, info), static_cast<int>(info.size()));
    EXPECT_FLOAT_EQ(float{rig.rc->record().output_voltage}, 53.5f);
    EXPECT_EQ(rig.rc->record().module_count, 3);
    EXPECT_FLOAT_EQ(float{rig.rc->items().at(0).output_current}, 15.0f);
    EXPECT_FLOAT_EQ(float{rig.rc->items().at(1).output_current}, 15.2f);
    EXPECT_FLOAT_EQ(float{rig.rc->items().at(2).output_current}, 14.9f);
    EXPECT_EQ(rig.rc->items().at(2).p41_41, 1);
    EXPECT_FLOAT_EQ(float{rig.rc->items().at(2).p41_41_value[0]}, 0.0f) << "not provided";
}

TEST(RcSampleAnswer, Status) {
    // DATAFLAG 00 | 3 modules | each: on/off, limiting, float/boost, P 2, two user bytes; module 2 off
    const Bytes info = info_from_hex("00 03 000000 02 0000 010000 02 0000 000000 02 0000");
    Rig rig;
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_43, info), static_cast<int>(info.size()));
    EXPECT_EQ(rig.rc->items().size(), 3u);
    EXPECT_EQ(rig.rc->items().at(0).status[0], 0);
    EXPECT_EQ(rig.rc->items().at(1).status[0], 1);
    EXPECT_EQ(rig.rc->items().at(2).p41_43, 2);
}

TEST(RcSampleAnswer, Alarms) {
    // DATAFLAG 00 | 3 modules | each: fault, P 1, one user byte; module 2 faulty, module 3 out of contact (E2)
    const Bytes info = info_from_hex("00 03 00 01 00 01 01 00 00 01 E2");
    Rig rig;
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_44, info), static_cast<int>(info.size()));
    EXPECT_EQ(rig.rc->items().at(0).fault, 0);
    EXPECT_EQ(rig.rc->items().at(1).fault, 1);
    EXPECT_EQ(rig.rc->items().at(2).p41_44, 1);
    EXPECT_EQ(rig.rc->items().at(2).p41_44_value[0], 0xE2);
}

TEST(RcSampleAnswer, AcParameters) {
    // five AC parameters 460.0, 300.0, 0.0, 0.0, 0.0 | no user-defined parameters
    const Bytes info = info_from_hex("0000E643 00009643 00000000 00000000 00000000 00");
    Rig rig;
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse40_46, info), static_cast<int>(info.size()));
    EXPECT_FLOAT_EQ(float{rig.rc->record().ac_param[0]}, 460.0f);
    EXPECT_FLOAT_EQ(float{rig.rc->record().ac_param[1]}, 300.0f);
    EXPECT_FLOAT_EQ(float{rig.rc->record().ac_param[4]}, 0.0f);
}

TEST(RcSampleAnswer, DcParameters) {
    // two DC parameters 57.6, 45.0 | 3 user-defined parameters 0.0
    const Bytes info = info_from_hex("66666642 00003442 03 00000000 00000000 00000000");
    Rig rig;
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse42_46, info), static_cast<int>(info.size()));
    EXPECT_FLOAT_EQ(float{rig.rc->record().dc_param[0]}, 57.6f);
    EXPECT_FLOAT_EQ(float{rig.rc->record().dc_param[1]}, 45.0f);
    EXPECT_EQ(rig.rc->record().p42_46, 3);
    EXPECT_EQ(Bytes(rig.rc->record().p42_46_value, rig.rc->record().p42_46_value + 12), Bytes(12, 0));
}

}  // namespace
}  // namespace rctest
