// The KTR-40 power system device with its real unit classes.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "power/ktr40e.h"
#include "site/controller.h"
#include "site/events.h"
#include "site/host_access.h"
#include "site/link.h"

namespace {

Json::Value unit(unsigned id) {
    Json::Value value(Json::objectValue);
    value["data_id"] = id;
    return value;
}

Json::Value plant_settings() {
    Json::Value settings(Json::objectValue);
    settings["acSetting"].append(unit(11));
    settings["dcSetting"].append(unit(21));
    settings["rcSetting"] = Json::Value(Json::objectValue);
    return settings;
}

TEST(Ktr40eTest, ConstructorSetsTheLineDefaults) {
    auto dev = std::make_shared<Ktr40e>();
    EXPECT_EQ(dev->DeviceType(), "ktr40e");
    EXPECT_EQ(VRTHostAccess::baud_rate(*dev), 9600);
    EXPECT_EQ(VRTHostAccess::port_flag(*dev), 1);
    EXPECT_EQ(VRTHostAccess::protocol_version(*dev), 0x20);
    EXPECT_EQ(VRTHostAccess::step(*dev), 0);
    EXPECT_EQ(dev->GetAllChildVDevices(), (std::vector<std::shared_ptr<VRTVDevice>>{nullptr}));
    EXPECT_TRUE(dev->LoadFromCache(std::string()));
    EXPECT_THROW(dev->Get_Value(0, "v"), std::out_of_range);
}

TEST(Ktr40eTest, SettingsCreateTheKtr40eUnits) {
    auto dev = std::make_shared<Ktr40e>();
    dev->Init(std::weak_ptr<VRTController>(), 1000, Json::Value());
    ASSERT_TRUE(dev->InitSetting(plant_settings()));
    const auto children = dev->GetAllChildVDevices();
    ASSERT_EQ(children.size(), 3u);
    EXPECT_NE(std::dynamic_pointer_cast<Ktr40eAC>(children[0]), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<Ktr40eDC>(children[1]), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<Ktr40eRC>(children[2]), nullptr);
    EXPECT_EQ(children[0]->DeviceType(), "ktr40e-ac");
    EXPECT_EQ(children[1]->DeviceType(), "ktr40e-dc");
    EXPECT_EQ(children[2]->DeviceType(), "ktr40e-rc");
    EXPECT_EQ(children[2]->DataId(), 1000u);
    EXPECT_EQ(dev->GetChildVDevice(21), children[1]);
}

TEST(Ktr40eTest, ModelCheckNamesTheDriverAndTheDetectedModel) {
    auto recorder = std::make_shared<site::Recorder>();
    auto controller = std::make_shared<site::Controller>(recorder, site::WorkMode::Inline);
    auto script = std::make_shared<site::ScriptedTransport>();
    auto link = std::make_shared<HostLink>(script);
    for (const std::string& model : {std::string("KTR-40") + std::string(14, '\0'), std::string("KTR-400")}) {
        auto dev = std::make_shared<Ktr40e>();
        dev->Init(controller, 1000, Json::Value());
        ASSERT_TRUE(dev->InitSetting(plant_settings()));
        HostLink::attach(*dev, link);
        ASSERT_TRUE(dev->RefreshStatus());
        EXPECT_TRUE(link->deliver(*dev, site::Answer{0x20, 1, 0x40, 0, {model.begin(), model.end()}}));
        EXPECT_EQ(script->last().cid1, 0x40);
        EXPECT_EQ(script->last().cid2, 0x41);
        EXPECT_EQ(script->last().info, std::vector<std::uint8_t>{0xFF});
        link->end_exchange(*dev);
    }
    const auto alarms = recorder->of(site::EventKind::Alarm);
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(alarms[0].text, "本驱动类型:ktr40e 检测型号:KTR-400");
    EXPECT_EQ(alarms[0].key, "device_model");
    EXPECT_EQ(alarms[0].code, "70319");
}

}  // namespace
