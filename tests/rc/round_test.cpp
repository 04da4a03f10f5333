// Round completion, alarms, value queries and cache restore of the rectifier group.
#include <future>
#include <stdexcept>

#include <gtest/gtest.h>

#include "rc_rig.h"
#include "tests/shared/stdout_capture.h"

namespace rctest {
namespace {

using boost::posix_time::second_clock;
using boost::posix_time::seconds;

std::string query_error(const Ktr40eRC& rc) {
    try {
        rc.Get_Value(0, "v");
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "answered";
}

// A history image of `modules` modules whose group record names `count` modules.
Bytes cache_image(std::uint8_t count, std::size_t modules, std::uint8_t fill) {
    Bytes image(57 + 18 * modules, fill);
    image[49] = count;
    return image;
}

bool load(Ktr40eRC& rc, const Bytes& image, std::string* console = nullptr) {
    bool loaded = false;
    const std::string out = printed_by([&] { loaded = rc.LoadFromCache(image.data(), int(image.size())); });
    if (console != nullptr) *console = out;
    return loaded;
}

TEST(RcRound, FaultThenCommunicationAlarmsAreNumberedOnAndRestartEachRound) {
    Rig rig;
    ASSERT_EQ(rig.feed(&Ktr40eRC::parse41_41, info41_41()), 33);
    // Module 2 reports no user-defined alarm byte: it gets no communication check.
    ASSERT_EQ(rig.feed(&Ktr40eRC::parse41_44, {0x00, 3, 0, 1, 0xE2, 1, 0, 0, 1, 0x00}), 10);
    rig.rc->RoundDone();

    const auto alarms = rig.recorder->of(site::EventKind::Alarm);
    ASSERT_EQ(alarms.size(), 5u);
    const char* faultTexts[] = {"模块1整流模块故障告警", "模块2整流模块故障告警", "模块3整流模块故障告警"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(alarms[i].level, 2);
        EXPECT_EQ(alarms[i].key, "RC_0");
        EXPECT_EQ(alarms[i].code, "06024");
        EXPECT_EQ(alarms[i].name, "整流模块故障告警");
        EXPECT_EQ(alarms[i].text, faultTexts[i]);
        EXPECT_EQ(alarms[i].active, i == 1);
        EXPECT_EQ(alarms[i].seq, i + 1);
    }
    const char* commTexts[] = {"整流模块1模块通讯中断告警状态", "整流模块3模块通讯中断告警状态"};
    for (int i = 0; i < 2; ++i) {
        const site::Event& comm = alarms[3 + i];
        EXPECT_EQ(comm.level, 4);
        EXPECT_EQ(comm.key, "KTRE40_RC_0");
        EXPECT_EQ(comm.code, "06028");
        EXPECT_EQ(comm.name, "整流模块通信状态告警");
        EXPECT_EQ(comm.text, commTexts[i]);
        EXPECT_EQ(comm.active, i == 0);
        EXPECT_EQ(comm.seq, 4 + i);
    }
    EXPECT_EQ(VRTHostAccess::alarm_seq(*rig.rc), 6);

    // The round's rules went to the batch check whole, and the rules vector is ready again.
    const auto batches = rig.recorder->of(site::EventKind::Batch);
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].seq, 5);
    EXPECT_TRUE(VRTHostAccess::rules(*rig.rc).empty());
    EXPECT_GE(VRTHostAccess::rules(*rig.rc).capacity(), 5u);

    ASSERT_EQ(rig.feed(&Ktr40eRC::parse41_44, {0x00, 3, 0, 1, 0xE1, 0, 1, 0x01, 0, 1, 0x00}), 11);
    rig.recorder->clear();
    rig.rc->RoundDone();
    const auto next = rig.recorder->of(site::EventKind::Alarm);
    ASSERT_EQ(next.size(), 6u);
    for (unsigned short i = 0; i < 6; ++i) EXPECT_EQ(next[i].seq, i + 1);
    EXPECT_FALSE(next[3].active);  // 0xE1 is not a lost connection
}

// Module 3 in fault and out of contact, then pulled: the next round clears each of its two alarms
// once, each after the checks of the modules that remain, and the round after has nothing to clear.
TEST(RcRound, AlarmsOfAPulledModuleAreClearedOnceInTheNextRound) {
    Rig rig;
    ASSERT_EQ(rig.feed(&Ktr40eRC::parse41_41, info41_41()), 33);
    ASSERT_EQ(rig.feed(&Ktr40eRC::parse41_44, {0x00, 3, 0, 1, 0x00, 0, 1, 0x00, 1, 1, 0xE2}), 11);
    rig.rc->RoundDone();
    ASSERT_EQ(rig.recorder->of(site::EventKind::Raised).size(), 2u);
    rig.recorder->clear();

    const Bytes twoModules = {0x00, 0x41, 0x42, 0x43, 0x44, 2, 1, 2, 3, 4, 1, 0, 0, 0, 0, 5, 6, 7, 8, 1, 0, 0, 0, 0};
    ASSERT_EQ(rig.feed(&Ktr40eRC::parse41_41, twoModules), 24);
    ASSERT_EQ(rig.rc->items().size(), 2u);
    rig.rc->RoundDone();

    const auto alarms = rig.recorder->of(site::EventKind::Alarm);
    ASSERT_EQ(alarms.size(), 6u);
    EXPECT_EQ(alarms[2].key, "RC_0");
    EXPECT_EQ(alarms[2].text, "模块3整流模块故障告警");
    EXPECT_FALSE(alarms[2].active);
    EXPECT_EQ(alarms[2].seq, 3);
    EXPECT_EQ(alarms[3].text, "整流模块1模块通讯中断告警状态");
    EXPECT_EQ(alarms[5].key, "KTRE40_RC_0");
    EXPECT_EQ(alarms[5].text, "整流模块3模块通讯中断告警状态");
    EXPECT_FALSE(alarms[5].active);
    EXPECT_EQ(alarms[5].seq, 6);
    const auto cleared = rig.recorder->of(site::EventKind::Cleared);
    ASSERT_EQ(cleared.size(), 2u);
    EXPECT_EQ(cleared[0].text, "模块3整流模块故障告警");
    EXPECT_EQ(cleared[1].text, "整流模块3模块通讯中断告警状态");

    rig.recorder->clear();
    rig.rc->RoundDone();
    EXPECT_EQ(rig.recorder->of(site::EventKind::Alarm).size(), 4u);
    EXPECT_TRUE(rig.recorder->of(site::EventKind::Cleared).empty());
}

TEST(RcRound, EmptyModuleListPublishesAndSavesTheGroupRecordAlone) {
    Rig rig;
    rig.rc->RoundDone();
    ASSERT_EQ(rig.recorder->of(site::EventKind::Publish).size(), 1u);
    EXPECT_EQ(rig.recorder->of(site::EventKind::Publish)[0].bytes.size(), 57u);
    EXPECT_EQ(rig.recorder->of(site::EventKind::History)[0].bytes.size(), 57u);
    EXPECT_EQ(rig.recorder->count(site::EventKind::Alarm), 0u);
}

TEST(RcRound, HistoryImageFollowsTheModuleListWhenItChangesAfterTheFirstRound) {
    Rig rig;
    ASSERT_EQ(rig.feed(&Ktr40eRC::parse41_41, {0x00, 1, 2, 3, 4, 0}), 6);
    rig.rc->RoundDone();
    ASSERT_EQ(rig.feed(&Ktr40eRC::parse41_41, info41_41()), 33);
    rig.rc->RoundDone();
    ASSERT_TRUE(load(*rig.rc, cache_image(1, 1, 0x5C)));
    rig.rc->RoundDone();

    const auto published = rig.recorder->of(site::EventKind::Publish);
    const auto saved = rig.recorder->of(site::EventKind::History);
    ASSERT_EQ(published.size(), 3u);
    ASSERT_EQ(saved.size(), 3u);
    const std::size_t sizes[] = {57, 57 + 18 * 3, 57 + 18};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(published[i].bytes.size(), sizes[i]);
        EXPECT_EQ(saved[i].bytes, published[i].bytes);
    }
    EXPECT_EQ(published[1].bytes[49], 3);
    EXPECT_EQ(Bytes(published[1].bytes.begin() + 57 + 36, published[1].bytes.begin() + 57 + 40),
              (Bytes{0x33, 0x33, 0x33, 0x33}));  // the last module's current reaches the image
    EXPECT_EQ(published[2].bytes, rig.rc->records());
}

TEST(RcRound, EachRoundSavesTheImageItPublishedEvenWhenTheWorkRunsLate) {
    Rig rig(site::WorkMode::Thread);
    std::promise<void> gate;
    rig.controller->post([opened = gate.get_future().share()] { opened.wait(); });
    ASSERT_EQ(rig.feed(&Ktr40eRC::parse41_41, info41_41()), 33);
    rig.rc->RoundDone();
    Bytes changed = info41_41();
    changed[1] = 0x7F;
    ASSERT_EQ(rig.feed(&Ktr40eRC::parse41_41, changed), 33);
    rig.rc->RoundDone();
    gate.set_value();
    rig.controller->drain();

    const auto published = rig.recorder->of(site::EventKind::Publish);
    const auto saved = rig.recorder->of(site::EventKind::History);
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_NE(published[0].bytes, published[1].bytes);
    EXPECT_EQ(saved[0].bytes, published[0].bytes);
    EXPECT_EQ(saved[1].bytes, published[1].bytes);
}

TEST(RcQuery, NeverAnswersAndTellsStaleDataFromSixtyOneSeconds) {
    Rig rig;
    EXPECT_EQ(query_error(*rig.rc), "数据未就绪");
    rig.rc->RoundDone();
    EXPECT_EQ(query_error(*rig.rc), "数据未就绪");
    VRTHostAccess::last_update(*rig.rc) = second_clock::local_time() - seconds(59);
    EXPECT_EQ(query_error(*rig.rc), "数据未就绪");
    VRTHostAccess::last_update(*rig.rc) = second_clock::local_time() - seconds(61);
    EXPECT_EQ(query_error(*rig.rc), "数据已超时");
}

TEST(RcCache, ImageRestoresBothRecordsByteForByte) {
    Rig rig;
    Bytes image = cache_image(2, 2, 0);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = std::uint8_t(i == 49 ? 2 : i * 7 + 1);
    std::string console;
    ASSERT_TRUE(load(*rig.rc, image, &console));
    EXPECT_EQ(console, "rc data_len:93 vs 57\nrc channelLen 18 and 2 left:36\n");
    EXPECT_EQ(rig.rc->records(), image);
    EXPECT_TRUE(VRTHostAccess::data_valid(*rig.rc));
    EXPECT_EQ(query_error(*rig.rc), "数据未就绪");
    EXPECT_LE((second_clock::local_time() - VRTHostAccess::last_update(*rig.rc)).total_seconds(), 1);

    ASSERT_TRUE(load(*rig.rc, cache_image(0, 0, 0)));
    EXPECT_EQ(rig.rc->items().size(), 0u);
}

TEST(RcCache, RefusedImagesChangeNothing) {
    Rig rig;
    ASSERT_EQ(rig.feed(&Ktr40eRC::parse41_41, info41_41()), 33);
    const Bytes live = rig.rc->records();

    std::string console;
    EXPECT_FALSE(load(*rig.rc, Bytes(56, 1), &console));
    EXPECT_EQ(console, "rc data_len:56 vs 57\n");
    EXPECT_FALSE(load(*rig.rc, cache_image(2, 3, 0x44), &console));  // names 2 modules, holds 3
    EXPECT_EQ(console, "rc data_len:111 vs 57\nrc channelLen 18 and 2 left:54\n");
    Bytes oneOver = cache_image(3, 3, 0x44);
    oneOver.push_back(0);
    EXPECT_FALSE(load(*rig.rc, oneOver));

    EXPECT_EQ(rig.rc->records(), live);
    EXPECT_FALSE(VRTHostAccess::data_valid(*rig.rc));
    EXPECT_EQ(rig.feed(&Ktr40eRC::parse41_41, info41_41()), 33);  // the live module count still holds
}

}  // namespace
}  // namespace rctest
