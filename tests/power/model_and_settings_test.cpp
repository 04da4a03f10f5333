// The model check, and the units the settings create.
#include "power_fixture.h"

namespace rec {
namespace {

using Strings = std::vector<std::string>;

const std::string kMismatchPrefix = "本驱动类型:rec-power 检测型号:";

struct ModelTest : PowerTest {
    void SetUp() override {
        PowerTest::SetUp();
        configure({11}, {21});
        ASSERT_TRUE(poll());
    }
    std::vector<site::Event> alarms() const { return recorder->of(site::EventKind::Alarm); }
};

TEST_F(ModelTest, PaddedModelTextMatchesAndRaisesNothing) {
    for (const std::string& padded : {std::string("KTR-40") + std::string(14, ' '), std::string("KTR-40\0\0\0 \0", 11),
                                      std::string("KTR-40") + std::string(14, ' ') + "TAIL"}) {
        configure({11}, {21});
        ASSERT_TRUE(poll());
        EXPECT_TRUE(answer(0x40, model_info(padded)));
    }
    EXPECT_TRUE(alarms().empty());
}

TEST_F(ModelTest, MismatchRaisesTheModelCheckWithTheWholeField) {
    const std::string field = "KTR-60" + std::string(14, ' ');
    EXPECT_TRUE(answer(0x40, model_info(field + "EXTRA")));
    const std::vector<site::Event> raised = alarms();
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].level, 3);
    EXPECT_EQ(raised[0].key, "device_model");
    EXPECT_EQ(raised[0].code, "70319");
    EXPECT_EQ(raised[0].name, "设备配置检测");
    EXPECT_EQ(raised[0].text, kMismatchPrefix + field);
    EXPECT_TRUE(raised[0].active);
    EXPECT_EQ(raised[0].seq, 0);
    EXPECT_EQ(sent(), (Strings{"40/51", "40/41"}));
}

TEST_F(ModelTest, ShortModelAnswerIsReadOnlyWithinItsInfo) {
    // A longer answer of another group fills the host's buffer first; it is ignored.
    EXPECT_TRUE(answer(0x41, model_info("KTR-40 KTR-40 KTR-40 KTR-40")));
    ASSERT_TRUE(poll());
    EXPECT_TRUE(answer(0x40, model_info("KT")));
    ASSERT_EQ(alarms().size(), 1u);
    EXPECT_EQ(alarms()[0].text, kMismatchPrefix + "KT");

    configure({11}, {21});
    ASSERT_TRUE(poll());
    EXPECT_TRUE(answer(0x40, {}));
    ASSERT_EQ(alarms().size(), 2u);
    EXPECT_EQ(alarms()[1].text, kMismatchPrefix);
}

// Settings and children.
TEST_F(PowerTest, SettingsCreateTheUnitsInOrderAndChildrenAreFoundByDataId) {
    Json::Value settings = settings_for({11, 12}, {21});
    settings["acSetting"][1]["appSetting"]["diff_v"] = 5;
    settings["rcSetting"]["x"] = 1;
    configure_with(settings);

    const std::vector<std::shared_ptr<VRTVDevice>> children = dev->GetAllChildVDevices();
    ASSERT_EQ(children.size(), 4u);
    std::vector<unsigned> ids;
    for (const auto& child : children) ids.push_back(child->DataId());
    EXPECT_EQ(ids, (std::vector<unsigned>{11, 12, 21, kDeviceId}));
    EXPECT_NE(std::dynamic_pointer_cast<RecAC>(children[0]), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<RecAC>(children[1]), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<RecDC>(children[2]), nullptr);
    auto group = std::dynamic_pointer_cast<RecRC>(children[3]);
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->settings, settings["rcSetting"]);
    EXPECT_EQ(std::dynamic_pointer_cast<RecAC>(children[1])->settings, settings["acSetting"][1]);
    for (const auto& child : children) EXPECT_EQ(VRTHostAccess::parent(*child), dev.get());

    EXPECT_EQ(dev->GetChildVDevice(21), children[2]);
    EXPECT_EQ(dev->GetChildVDevice(12), children[1]);
    EXPECT_EQ(dev->GetChildVDevice(kDeviceId), nullptr);
    EXPECT_EQ(dev->GetChildVDevice(99), nullptr);
}

TEST_F(PowerTest, ASharedDataIdFindsTheFirstUnitAcBeforeDc) {
    configure({7, 5}, {5, 7});
    const auto children = dev->GetAllChildVDevices();
    EXPECT_EQ(dev->GetChildVDevice(5), children[1]);
    EXPECT_EQ(dev->GetChildVDevice(7), children[0]);
}

TEST_F(PowerTest, WithoutRectifierSettingsInitFailsButKeepsTheOtherUnits) {
    for (const bool explicitNull : {false, true}) {
        dev = std::make_shared<RecPower>();
        dev->Init(controller, kDeviceId, Json::Value());
        Json::Value settings = settings_for({11}, {21});
        if (explicitNull) {
            settings["rcSetting"] = Json::Value();
        } else {
            settings.removeMember("rcSetting");
        }
        EXPECT_FALSE(dev->InitSetting(settings));
        const auto children = dev->GetAllChildVDevices();
        ASSERT_EQ(children.size(), 3u);
        EXPECT_EQ(children[0]->DataId(), 11u);
        EXPECT_EQ(children[1]->DataId(), 21u);
        EXPECT_EQ(children[2], nullptr);
    }
}

TEST_F(PowerTest, UnitListsThatAreNotArraysCreateNoUnits) {
    Json::Value settings = settings_for({}, {});
    settings["acSetting"] = Json::Value(Json::objectValue);
    settings["acSetting"]["data_id"] = 11;
    settings["dcSetting"] = "21";
    configure_with(settings);
    EXPECT_EQ(dev->GetAllChildVDevices().size(), 1u);
    ASSERT_TRUE(poll());
    ASSERT_TRUE(answer(0x40, model_info("KTR-40")));
    EXPECT_EQ(sent(), (Strings{"40/51", "41/41"}));
}

TEST_F(PowerTest, HostSettingsFailureStopsBeforeAnyUnit) {
    dev = std::make_shared<RecPower>();
    Json::Value settings = settings_for({11}, {21});
    settings["baud"] = "fast";
    EXPECT_FALSE(dev->InitSetting(settings));
    EXPECT_EQ(dev->GetAllChildVDevices(), (std::vector<std::shared_ptr<VRTVDevice>>{nullptr}));
}

TEST_F(PowerTest, DataIdsAreConvertedByTheJsonLibrary) {
    dev = std::make_shared<RecPower>();
    Json::Value settings = settings_for({11}, {});
    settings["acSetting"].append(Json::Value(Json::objectValue));  // no data_id: 0
    EXPECT_TRUE(dev->InitSetting(settings));
    EXPECT_EQ(dev->GetAllChildVDevices()[1]->DataId(), 0u);

    dev = std::make_shared<RecPower>();
    settings["acSetting"][1]["data_id"] = "twelve";
    EXPECT_THROW(dev->InitSetting(settings), std::exception);
    const auto children = dev->GetAllChildVDevices();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0]->DataId(), 11u);
    EXPECT_EQ(children[1], nullptr);
}

TEST_F(PowerTest, ASecondInitAppendsUnitsReplacesTheGroupAndHandsDcUnitsTheModelText) {
    configure({11}, {21});
    const auto before = dev->GetAllChildVDevices();
    const std::string field = "KTR-40" + std::string(14, ' ');
    ASSERT_TRUE(poll());
    ASSERT_TRUE(answer(0x40, model_info(field)));
    ASSERT_TRUE(dev->InitSetting(settings_for({12}, {22})));
    const auto after = dev->GetAllChildVDevices();
    ASSERT_EQ(after.size(), 5u);
    EXPECT_EQ(after[0], before[0]);
    EXPECT_EQ(after[1]->DataId(), 12u);
    EXPECT_EQ(after[2], before[1]);
    EXPECT_EQ(after[3]->DataId(), 22u);
    EXPECT_NE(after[4], before[2]);
    EXPECT_EQ(journal().dcModels, (Strings{"", field}));
}

}  // namespace
}  // namespace rec
