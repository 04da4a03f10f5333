// Round completion of an AC unit: history image, alarm rules, work item.
#include <future>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "site/host/host_access.h"
#include "tests/ac/ac_test_support.h"

namespace {

using site::EventKind;

struct ExpectedRule {
    const char* key;
    const char* code;
    const char* name;
    int level;
};

const ExpectedRule kChannelRules[] = {
    {"AC_0", "06015", "交流输入电压过低告警", 3}, {"AC_1", "06015", "交流输入电压过低告警", 3},
    {"AC_2", "06015", "交流输入电压过低告警", 3}, {"AC_3", "06019", "交流输入频率过低告警", 3},
    {"AC_4", "06014", "交流输入电压过高告警", 2}, {"AC_5", "06014", "交流输入电压过高告警", 2},
    {"AC_6", "06014", "交流输入电压过高告警", 2}, {"AC_7", "06018", "交流输入频率过高告警", 2},
    {"AC_8", "06017", "交流输入缺相告警", 2},     {"AC_9", "06017", "交流输入缺相告警", 2},
    {"AC_10", "06017", "交流输入缺相告警", 2},
};
const char* const kChannelSuffixes[] = {"输入线/相电压AB/A", "输入线/相电压BC/B", "输入线/相电压CA/C", "频率",
                                        "输入线/相电压AB/A", "输入线/相电压BC/B", "输入线/相电压CA/C", "频率",
                                        "输入线/相电压AB/A", "输入线/相电压BC/B", "输入线/相电压CA/C"};
const ExpectedRule kUnitRules[] = {
    {"AC_12", "06029", "A相输入电流低于下限", 3}, {"AC_13", "06029", "B相输入电流低于下限", 3},
    {"AC_14", "06029", "C相输入电流低于下限", 3}, {"AC_15", "06029", "A相输入电流高于上限", 3},
    {"AC_16", "06029", "B相输入电流高于上限", 3}, {"AC_17", "06029", "C相输入电流高于上限", 3},
    {"AC_18", "06029", "A相输入电流缺项", 3},     {"AC_19", "06029", "B相输入电流缺项", 3},
    {"AC_20", "06029", "C相输入电流缺项", 3},
};

class AcRoundTest : public AcUnitTest {
protected:
    std::shared_ptr<ProbeAC> unit_ = make_unit();

    void feed_analog(const Portion& portion) {
        ASSERT_EQ(feed_quietly(*unit_, portion.bytes(), portion.bytes().size()), portion.size());
    }
    void feed_alarms(const Portion& portion) { ASSERT_EQ(feed(*unit_, &ProbeAC::parse40_44, portion), portion.size()); }
    // Two channels with these voltage a values and current ia; everything else fixed.
    void feed_values(float a0, float a1, float ia) {
        const std::vector<std::uint8_t> v = float_bytes(230.0f), f = float_bytes(50.0f);
        feed_analog(analog_portion({{float_bytes(a0), v, v, f}, {float_bytes(a1), v, v, f}}, float_bytes(ia),
                                   float_bytes(1.0f), float_bytes(1.0f)));
    }
};

TEST_F(AcRoundTest, TwoChannelRoundReportsEveryRuleInOrder) {
    feed_analog(two_channel_analog());
    ASSERT_EQ(feed(*unit_, &ProbeAC::parse40_43, Portion().u8(2).u8(1).u8(0).u8(0)), 4);
    // Channel 1: a low; channel 2: c high, f state 3 (no rule); phase B current above its limit.
    feed_alarms(alarm_portion({{1, 0, 0, 0, {1, 2, 3, 4, 5, 6}}, {0, 0, 2, 3}}, 0, 2, 0));

    unit_->RoundDone();

    const std::vector<site::Event> alarms = events(EventKind::Alarm);
    ASSERT_EQ(alarms.size(), 31u);
    for (std::size_t i = 0; i < 22; ++i) {
        const std::size_t channel = i / 11, rule = i % 11;
        SCOPED_TRACE("check " + std::to_string(i));
        const site::Event& check = alarms[i];
        EXPECT_EQ(check.key, kChannelRules[rule].key);
        EXPECT_EQ(check.code, kChannelRules[rule].code);
        EXPECT_EQ(check.name, kChannelRules[rule].name);
        EXPECT_EQ(check.level, kChannelRules[rule].level);
        EXPECT_EQ(check.text, "交流屏" + std::to_string(channel + 1) + kChannelSuffixes[rule]);
        EXPECT_EQ(check.seq, i + 1);
        const bool expectActive = (channel == 0 && rule == 0) || (channel == 1 && rule == 6);
        EXPECT_EQ(check.active, expectActive);
        EXPECT_EQ(check.device, kDataId);
    }
    EXPECT_EQ(alarms[0].text, "交流屏1输入线/相电压AB/A");
    EXPECT_EQ(alarms[14].text, "交流屏2频率");
    EXPECT_EQ(alarms[21].text, "交流屏2输入线/相电压CA/C");
    for (std::size_t i = 0; i < 9; ++i) {
        SCOPED_TRACE("unit check " + std::to_string(i));
        const site::Event& check = alarms[22 + i];
        EXPECT_EQ(check.key, kUnitRules[i].key);
        EXPECT_EQ(check.code, kUnitRules[i].code);
        EXPECT_EQ(check.name, kUnitRules[i].name);
        EXPECT_EQ(check.level, 3);
        EXPECT_EQ(check.text, "其他告警");
        EXPECT_EQ(check.seq, 23 + i);
        EXPECT_EQ(check.active, std::string(kUnitRules[i].key) == "AC_16");
    }
    EXPECT_EQ(VRTHostAccess::alarm_seq(*unit_), 32);
}

TEST_F(AcRoundTest, RoundPublishesTheImageAndSavesItAsHistory) {
    feed_analog(two_channel_analog());
    feed_alarms(alarm_portion({{1, 0, 0, 0, {1, 2, 3, 4, 5, 6}}, {0, 0, 2, 3}}, 0, 2, 0));
    const tele_c_time before = get_ttime(boost::posix_time::second_clock::local_time());

    unit_->RoundDone();

    const std::vector<site::Event> all = recorder_->events();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front().kind, EventKind::Publish) << "the image is published before the checks";
    EXPECT_EQ(all.back().kind, EventKind::History) << "the work item saves the image last";

    const std::vector<site::Event> published = events(EventKind::Publish);
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].record, 5153);
    const std::vector<std::uint8_t>& image = published[0].bytes;
    std::vector<std::uint8_t> expected = raw(unit_->record(), 0, 37);
    for (const auto& channel : unit_->items()) {
        const std::vector<std::uint8_t> bytes = raw(channel, 0, 28);
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    ASSERT_EQ(image.size(), 93u);
    EXPECT_EQ(image, expected);
    EXPECT_EQ(std::vector<std::uint8_t>(image.begin(), image.begin() + 4),
              (std::vector<std::uint8_t>{0xA1, 0x0F, 0, 0}))
        << "device_id";
    EXPECT_EQ(image[16], 2) << "channel_count";
    EXPECT_EQ(image[65 + 20], 3) << "channel 2 f_alert";
    tele_c_time stamp;
    std::memcpy(&stamp, image.data() + 30, sizeof stamp);
    EXPECT_EQ(stamp.year, before.year);
    EXPECT_EQ(stamp.day, before.day);

    const std::vector<site::Event> saved = events(EventKind::History);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].record, 5153);
    EXPECT_EQ(saved[0].bytes, image);

    const std::vector<site::Event> batches = events(EventKind::Batch);
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].seq, 31) << "the batch gets the round's rules";
    EXPECT_TRUE(VRTHostAccess::threshold_result(*unit_)) << "two alarms were raised";
    EXPECT_TRUE(VRTHostAccess::rules(*unit_).empty());
}

TEST_F(AcRoundTest, HistoryImageFollowsAChannelCountThatGrows) {
    feed_analog(analog_portion({}, float_bytes(1.0f), float_bytes(2.0f), float_bytes(3.0f)));
    unit_->RoundDone();
    EXPECT_EQ(unit_->history_size(), 37);
    const std::vector<site::Event> unitOnly = events(EventKind::Alarm);
    ASSERT_EQ(unitOnly.size(), 9u) << "no channel: only the unit rules";
    EXPECT_EQ(unitOnly.front().key, "AC_12");
    EXPECT_EQ(unitOnly.back().seq, 9);

    feed_analog(two_channel_analog());
    unit_->RoundDone();
    EXPECT_EQ(unit_->history_size(), 93);

    const std::vector<site::Event> published = events(EventKind::Publish);
    ASSERT_EQ(published.size(), 2u);
    ASSERT_EQ(published[1].bytes.size(), 93u);
    EXPECT_EQ(std::vector<std::uint8_t>(published[1].bytes.begin() + 69, published[1].bytes.begin() + 73),
              float_bytes(380.0f));
    const std::vector<site::Event> saved = events(EventKind::History);
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[1].bytes, published[1].bytes);
    EXPECT_EQ(events(EventKind::Alarm).size(), 9u + 31u);
}

// A channel that leaves (the analog answer follows a smaller count) takes its alarms with it: each
// one its last round left raised is cleared, one call each, numbered after the remaining channels'
// checks in the next round; the round after that has nothing more to clear.
TEST_F(AcRoundTest, AlarmsOfAChannelThatLeavesAreClearedOnceInTheNextRound) {
    feed_analog(two_channel_analog());
    // Channel 2: a too low (AC_0) and c phase missing (AC_10).
    feed_alarms(alarm_portion({{0, 0, 0, 0}, {1, 0, 3, 0}}, 0, 0, 0));
    unit_->RoundDone();
    ASSERT_EQ(events(EventKind::Raised).size(), 2u);
    recorder_->clear();

    const std::vector<std::uint8_t> v = float_bytes(230.0f), f = float_bytes(50.0f);
    const Portion one = analog_portion({{v, v, v, f}}, v, v, v);
    printed_by([&] { EXPECT_EQ(feed(*unit_, &ProbeAC::parse40_41, one), one.size()); });
    ASSERT_EQ(unit_->items().size(), 1u);
    feed_alarms(alarm_portion({{0, 0, 0, 0}}, 0, 0, 0));
    recorder_->clear();
    unit_->RoundDone();

    const std::vector<site::Event> alarms = events(EventKind::Alarm);
    ASSERT_EQ(alarms.size(), 11u + 2u + 9u);
    EXPECT_EQ(alarms[10].text, "交流屏1输入线/相电压CA/C");
    EXPECT_EQ(alarms[11].key, "AC_0");
    EXPECT_EQ(alarms[11].code, "06015");
    EXPECT_EQ(alarms[11].level, 3);
    EXPECT_EQ(alarms[11].text, "交流屏2输入线/相电压AB/A");
    EXPECT_FALSE(alarms[11].active);
    EXPECT_EQ(alarms[11].seq, 12);
    EXPECT_EQ(alarms[12].key, "AC_10");
    EXPECT_EQ(alarms[12].text, "交流屏2输入线/相电压CA/C");
    EXPECT_FALSE(alarms[12].active);
    EXPECT_EQ(alarms[12].seq, 13);
    EXPECT_EQ(alarms[13].key, "AC_12");
    EXPECT_EQ(alarms[13].seq, 14);
    const std::vector<site::Event> cleared = events(EventKind::Cleared);
    ASSERT_EQ(cleared.size(), 2u);
    EXPECT_EQ(cleared[0].text, "交流屏2输入线/相电压AB/A");
    EXPECT_EQ(cleared[1].text, "交流屏2输入线/相电压CA/C");

    recorder_->clear();
    unit_->RoundDone();
    EXPECT_EQ(events(EventKind::Alarm).size(), 11u + 9u);
    EXPECT_TRUE(events(EventKind::Cleared).empty());
}

// The work item of a round saves that round's image even when it runs after the next round.
TEST_F(AcRoundTest, DelayedWorkSavesTheImageOfItsOwnRound) {
    auto threaded = std::make_shared<site::Controller>(recorder_, site::WorkMode::Thread);
    unit_->Init(threaded, kDataId, Json::Value());
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    threaded->post([released] { released.wait(); });

    feed_values(220.0f, 221.0f, 5.0f);
    unit_->RoundDone();
    feed_values(100.0f, 101.0f, 9.0f);
    unit_->RoundDone();
    release.set_value();
    threaded->drain();

    const std::vector<site::Event> published = events(EventKind::Publish);
    const std::vector<site::Event> saved = events(EventKind::History);
    ASSERT_EQ(published.size(), 2u);
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[0].bytes, published[0].bytes);
    EXPECT_EQ(saved[1].bytes, published[1].bytes);
    EXPECT_NE(saved[0].bytes, saved[1].bytes);
}

}  // namespace
