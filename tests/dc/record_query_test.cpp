// The DC record as a stored image: construction, settings, value queries, cache restore.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "dc/dc_test_unit.h"

using namespace dctest;

namespace {

std::string query_error(const ProbedDC& unit, const std::string& name) {
    try {
        unit.Get_Value(0, name);
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "answered";
}

Bytes cached_image(float voltage, float current) {
    Bytes image(190);
    for (std::size_t k = 0; k < image.size(); ++k) image[k] = static_cast<std::uint8_t>(k);
    std::memcpy(image.data() + 4, &voltage, 4);
    std::memcpy(image.data() + 8, &current, 4);
    return image;
}

}  // namespace

TEST(DcRecord, BothConstructorsGiveAZeroFilledDcUnit) {
    const Ktr40eDC plain;
    const ProbedDC named("KTR-40");
    EXPECT_EQ(plain.DeviceType(), "ktr40e-dc");
    EXPECT_EQ(named.DeviceType(), "ktr40e-dc");
    EXPECT_EQ(named.records(), Bytes(190, 0));
}

TEST(DcRecord, InitVWritesTheDataIdLittleEndianFirst) {
    Rig rig(258);
    EXPECT_TRUE(rig.initResult);
    EXPECT_EQ(slice(rig.unit->records(), 0, 4), (Bytes{0x02, 0x01, 0x00, 0x00}));
    EXPECT_EQ(rig.unit->DataId(), 258u);
}

TEST(DcRecord, InitVTakesSettingsOfAnyShape) {
    Json::Value arraySetting;
    arraySetting["appSetting"].append(1);
    Json::Value nestedValue;
    nestedValue["appSetting"]["diff_v"].append(0.5);
    nestedValue["appSetting"]["diff_i"]["x"] = 1;
    for (const Json::Value& setting : {arraySetting, nestedValue, Json::Value(Json::arrayValue), Json::Value(5)}) {
        Rig rig(9, setting);
        EXPECT_TRUE(rig.initResult);
        EXPECT_EQ(rig.unit->DataId(), 9u);
    }
}

TEST(DcQuery, FailsBeforeAnyDataThenAnswersOnlyVAndI) {
    Rig rig;
    EXPECT_EQ(query_error(*rig.unit, "v"), "数据未就绪");

    ASSERT_TRUE(rig.unit->LoadFromCache(cached_image(53.5f, 12.25f).data(), 190));
    EXPECT_FLOAT_EQ(rig.unit->Get_Value(0, "v"), 53.5f);
    EXPECT_FLOAT_EQ(rig.unit->Get_Value(0, "i"), 12.25f);
    for (const char* name : {"V", " v", "vv", "i ", "", "current"}) {
        EXPECT_EQ(query_error(*rig.unit, name), "数据未就绪") << name;
    }
}

TEST(DcQuery, TimesOutAfterSixtySeconds) {
    Rig rig;
    ASSERT_TRUE(rig.unit->LoadFromCache(cached_image(1.0f, 2.0f).data(), 190));
    VRTHostAccess::last_update(*rig.unit) =
        boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(61);
    EXPECT_EQ(query_error(*rig.unit, "i"), "数据已超时");
}

TEST(DcCache, RestoresExactly190BytesWholesale) {
    Rig rig(258);
    const Bytes image = cached_image(48.0f, 5.0f);
    EXPECT_TRUE(rig.unit->LoadFromCache(std::string(image.begin(), image.end())));
    EXPECT_EQ(rig.unit->records(), image);
    EXPECT_TRUE(VRTHostAccess::data_valid(*rig.unit));
}

TEST(DcCache, RefusesOtherLengthsWithoutAnyChange) {
    Rig rig(258);
    const Bytes before = rig.unit->records();
    Bytes image = cached_image(48.0f, 5.0f);
    image.push_back(0xAA);
    EXPECT_FALSE(rig.unit->LoadFromCache(image.data(), 191));
    EXPECT_FALSE(rig.unit->LoadFromCache(image.data(), 189));
    EXPECT_FALSE(rig.unit->LoadFromCache(std::string()));
    EXPECT_EQ(rig.unit->records(), before);
    EXPECT_FALSE(VRTHostAccess::data_valid(*rig.unit));
    EXPECT_EQ(query_error(*rig.unit, "v"), "数据未就绪");
}
