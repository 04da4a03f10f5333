// Value queries, cache restore and settings of an AC unit.
#include <boost/date_time/posix_time/posix_time.hpp>

#include "site/host/host_access.h"
#include "tests/ac/ac_test_support.h"

namespace {

class AcQueryTest : public AcUnitTest {
protected:
    std::shared_ptr<ProbeAC> unit_ = make_unit();

    // Two channels as two_channel_analog() gives them, states from a 40/44 portion, one round.
    void complete_two_channel_round() {
        const Portion analog = two_channel_analog();
        ASSERT_EQ(feed_quietly(*unit_, analog.bytes(), analog.bytes().size()), 47);
        ASSERT_EQ(feed(*unit_, &ProbeAC::parse40_44, alarm_portion({{}, {}}, 3, 0, 1)), 28);
        unit_->RoundDone();
    }
    void set_age(long seconds) {
        VRTHostAccess::last_update(*unit_) =
            boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(seconds);
    }
    // The history image of the last round, as the host would hand it back.
    std::vector<unsigned char> last_image() const {
        const std::vector<site::Event> published = events(site::EventKind::Publish);
        EXPECT_FALSE(published.empty());
        return published.empty() ? std::vector<unsigned char>() : published.back().bytes;
    }
};

TEST_F(AcQueryTest, NothingAnswersBeforeTheFirstRound) {
    for (const char* name : {"ia", "channel_0_a", "", "nonsense"}) expect_query_error(*unit_, name, "数据未就绪");
}

TEST_F(AcQueryTest, UnitValuesAndChannelValues) {
    complete_two_channel_round();
    EXPECT_FLOAT_EQ(unit_->Get_Value(0, "ia"), 12.5f);
    EXPECT_FLOAT_EQ(unit_->Get_Value(0, "ib"), -0.1f);
    EXPECT_FLOAT_EQ(unit_->Get_Value(0, "ic"), 0.0f);
    EXPECT_FLOAT_EQ(unit_->Get_Value(0, "ia_alert"), 3.0f);
    EXPECT_FLOAT_EQ(unit_->Get_Value(0, "ic_alert"), 1.0f);
    EXPECT_FLOAT_EQ(unit_->Get_Value(0, "channel_1_f"), 49.9f);
    EXPECT_FLOAT_EQ(unit_->Get_Value(0, "channel_1_a"), 0.0f) << "not provided";
    EXPECT_FLOAT_EQ(unit_->Get_Value(0, "xchannel_0_b"), 221.0f) << "text before the pattern does not matter";
    EXPECT_FLOAT_EQ(unit_->Get_Value(0, "channel_0_abc"), 220.5f) << "one character of the field counts";
    EXPECT_FLOAT_EQ(unit_->Get_Value(0, "channel_00_c"), 219.75f);
}

TEST_F(AcQueryTest, QueriesThatCannotBeAnswered) {
    complete_two_channel_round();
    expect_query_error(*unit_, "channel_2_a", "通道参数越界");
    expect_query_error(*unit_, "channel_4294967296_a", "通道参数越界");
    expect_query_error(*unit_, "channel_99999999999999999999999999_a", "通道参数越界");
    expect_query_error(*unit_, "channel_0_x", "数据未提供");
    expect_query_error(*unit_, "channel_0_", "数据未提供");
    expect_query_error(*unit_, "IA", "数据未提供");
    expect_query_error(*unit_, "i", "数据未提供");
    expect_query_error(*unit_, "", "数据未提供");
}

// Names of any length are read in one pass, without recursion: a channel number of 100,000
// digits is out of range like any other, and a name longer than 64 characters names nothing.
TEST_F(AcQueryTest, LongNamesAreAnsweredWithoutRecursion) {
    complete_two_channel_round();
    const std::string digits(100000, '7');
    struct Case {
        std::string name;
        const char* error;  // nullptr: answers channel 0's a
    };
    const Case cases[] = {
        {"channel_" + digits + "_a", "通道参数越界"},
        {"channel_0_a" + std::string(53, 'x'), nullptr},  // 64 characters
        {"channel_0_a" + std::string(54, 'x'), "数据未提供"},
        {std::string(100000, 'c') + "channel_0_a", "数据未提供"},
        {"channel_" + std::string(100000, '0') + "_a", "数据未提供"},  // channel 0, but far too long
        {"channel_\n_a" + digits, "数据未提供"},
        {"channel_1_\nchannel_0_a", nullptr},  // the field is on the same line: the second one counts
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 24));
        if (c.error == nullptr) {
            EXPECT_FLOAT_EQ(unit_->Get_Value(0, c.name), 220.5f);
        } else {
            expect_query_error(*unit_, c.name, c.error);
        }
    }
}

TEST_F(AcQueryTest, AnswersUpToSixtySecondsOfAge) {
    complete_two_channel_round();
    set_age(60);
    EXPECT_FLOAT_EQ(unit_->Get_Value(0, "ia"), 12.5f);
    set_age(-30);
    EXPECT_FLOAT_EQ(unit_->Get_Value(0, "ia"), 12.5f) << "a clock set back still answers";
    set_age(61);
    expect_query_error(*unit_, "ia", "数据已超时");
    expect_query_error(*unit_, "nonsense", "数据已超时");
}

TEST_F(AcQueryTest, CacheRestoreOfAHistoryImage) {
    complete_two_channel_round();
    const std::vector<unsigned char> image = last_image();
    ASSERT_EQ(image.size(), 93u);

    auto restored = make_unit();
    const std::string bytes(image.begin(), image.end());
    ASSERT_TRUE(restored->LoadFromCache(bytes));
    EXPECT_FLOAT_EQ(restored->Get_Value(0, "channel_1_b"), 380.0f);
    EXPECT_FLOAT_EQ(restored->Get_Value(0, "ia_alert"), 3.0f);
    EXPECT_EQ(raw(restored->record(), 0, 37), std::vector<std::uint8_t>(image.begin(), image.begin() + 37));

    // An image saved from a device with another channel count gives way to the device's answers.
    const std::vector<std::uint8_t> v = float_bytes(1.0f);
    const Portion one = analog_portion({{v, v, v, v}}, v, v, v);
    EXPECT_EQ(feed_quietly(*restored, one.bytes(), one.bytes().size()), 30);
    EXPECT_FLOAT_EQ(restored->Get_Value(0, "channel_0_b"), 1.0f);
    expect_query_error(*restored, "channel_1_b", "通道参数越界");
}

TEST_F(AcQueryTest, RefusedCacheImageChangesNothing) {
    complete_two_channel_round();
    set_age(5);
    const boost::posix_time::ptime lastUpdate = VRTHostAccess::last_update(*unit_);
    const std::vector<std::uint8_t> record = raw(unit_->record(), 0, 37);
    const std::vector<std::uint8_t> channel = raw(unit_->items()[1], 0, 28);

    std::vector<unsigned char> image = last_image();
    image[16] = 3;  // says three channels, carries two
    EXPECT_FALSE(unit_->LoadFromCache(image.data(), static_cast<int>(image.size())));
    image[16] = 2;
    image[4] = 0x77;
    EXPECT_FALSE(unit_->LoadFromCache(image.data(), 37 + 28)) << "two channels announced, one carried";
    EXPECT_FALSE(unit_->LoadFromCache(image.data(), 37));
    EXPECT_FALSE(unit_->LoadFromCache(image.data(), -1));

    EXPECT_EQ(raw(unit_->record(), 0, 37), record);
    ASSERT_EQ(unit_->items().size(), 2u);
    EXPECT_EQ(raw(unit_->items()[1], 0, 28), channel);
    EXPECT_EQ(VRTHostAccess::last_update(*unit_), lastUpdate);

    auto fresh = make_unit();
    EXPECT_FALSE(fresh->LoadFromCache(image.data(), 37 + 28));
    EXPECT_TRUE(fresh->items().empty());
    expect_query_error(*fresh, "ia", "数据未就绪");
    const Portion analog = two_channel_analog();
    EXPECT_EQ(feed_quietly(*fresh, analog.bytes(), analog.bytes().size()), 47) << "no channel count was latched";
}

TEST_F(AcQueryTest, SettingsGiveTheDataId) {
    Json::Value setting;
    setting["data_id"] = 12;
    setting["appSetting"]["diff_v"] = "5";
    auto configured = make_unit(setting);
    EXPECT_EQ(configured->record().device_id, kDataId);
    EXPECT_EQ(configured->DataId(), kDataId);
    EXPECT_EQ(configured->DeviceType(), "ktr40e-ac");
}

}  // namespace
