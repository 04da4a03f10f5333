// The KTR-40 power system device with its real unit classes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "power/ktr40e.h"
#include "site/host/controller.h"
#include "site/host/events.h"
#include "site/host/host_access.h"
#include "site/host/link.h"

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
    auto script = std::make_shared<line::ScriptedTransport>();
    auto link = std::make_shared<HostLink>(script);
    for (const std::string& model : {std::string("KTR-40") + std::string(14, '\0'), std::string("KTR-400")}) {
        auto dev = std::make_shared<Ktr40e>(std::chrono::microseconds(0));
        dev->Init(controller, 1000, Json::Value());
        ASSERT_TRUE(dev->InitSetting(plant_settings()));
        HostLink::attach(*dev, link);
        ASSERT_TRUE(dev->RefreshStatus());
        EXPECT_TRUE(link->deliver(*dev, line::Answer{0x20, 1, 0x40, 0, {model.begin(), model.end()}}));
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

using Bytes = std::vector<std::uint8_t>;

Bytes f32(float value) {
    Bytes bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

float float_at(const Bytes& image, std::size_t offset) {
    float value = 0;
    std::memcpy(&value, image.data() + offset, 4);
    return value;
}

// The model answer and one round's answers of the plant: 1 AC unit with one channel, 1 DC unit,
// 2 rectifier modules.
std::vector<std::pair<std::uint8_t, Bytes>> plant_answers() {
    const Bytes blanks = {0x20, 0x20, 0x20, 0x20};
    const std::string model = "KTR-40              ";
    return {
        {0x40, Bytes(model.begin(), model.end())},
        {0x40, join({{0x11, 1, 1}, f32(220.5f), f32(221), f32(219), f32(50), {0}, f32(10.25f), blanks, f32(0)})},
        {0x40, {0, 1, 2, 1, 0, 0}},
        {0x40, {0, 1, 1, 1, 0, 0, 2, 0, 6, 9, 8, 7, 6, 5, 4, 0, 3, 0}},
        {0x41, join({{0x11}, f32(53.5f), {2}, f32(12), {1}, f32(1), f32(13), {1}, blanks})},
        {0x41, {0, 2, 1, 2, 3, 2, 4, 5, 6, 7, 8, 2, 9, 10}},
        {0x41, {0, 2, 0, 1, 0xE2, 1, 1, 0}},
        {0x42, join({{0x11, 1}, f32(53.5f), f32(40), {0, 0, 0}})},
        {0x42, {0, 1, 1, 0, 0}},
        {0x40, join({f32(1), f32(2), f32(3), f32(4), f32(5), {0}})},
        {0x42, join({f32(6), f32(7), {3}, f32(8), f32(9), f32(10)})},
    };
}

// A Ktr40e with the plant's units on a scripted line, its events in a recorder.
struct PlantRig {
    std::shared_ptr<site::Recorder> recorder = std::make_shared<site::Recorder>();
    std::shared_ptr<site::Controller> controller = std::make_shared<site::Controller>(recorder, site::WorkMode::Inline);
    std::shared_ptr<line::ScriptedTransport> script = std::make_shared<line::ScriptedTransport>();
    std::shared_ptr<HostLink> link = std::make_shared<HostLink>(script);
    std::shared_ptr<Ktr40e> dev = std::make_shared<Ktr40e>(std::chrono::microseconds(0));

    // Initialises the device with the plant's settings and attaches the line; false when the
    // settings are refused.
    bool start() {
        dev->Init(controller, 1000, Json::Value());
        if (!dev->InitSetting(plant_settings())) return false;
        HostLink::attach(*dev, link);
        return true;
    }
};

// One round with the real units: 1 AC unit with one channel, 1 DC unit, 2 rectifier modules.
TEST(Ktr40eTest, RoundWithRealUnitsPublishesTheirImagesAndAlarms) {
    PlantRig rig;
    ASSERT_TRUE(rig.start());
    const auto& [recorder, controller, script, link, dev] = rig;

    const std::vector<std::pair<std::uint8_t, Bytes>> answers = plant_answers();
    ASSERT_TRUE(dev->RefreshStatus());  // each answer then brings the next request itself
    for (const auto& answer : answers) {
        link->deliver(*dev, line::Answer{0x20, 1, answer.first, 0, answer.second});
    }
    std::vector<std::string> order;
    for (const line::Request& r : script->requests())
        order.push_back(std::to_string(r.cid1) + "/" + std::to_string(r.cid2));
    const std::vector<std::string> expected = {"64/81", "64/65", "64/67", "64/68", "65/65", "65/67",
                                               "65/68", "66/65", "66/68", "64/70", "66/70"};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(VRTHostAccess::step(*dev), 0);
    EXPECT_TRUE(recorder->of(site::EventKind::Log).empty());

    const auto images = recorder->of(site::EventKind::Publish);
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0].record, 5153);
    ASSERT_EQ(images[0].bytes.size(), 65u);
    EXPECT_EQ(float_at(images[0].bytes, 4), 10.25f);
    EXPECT_EQ(float_at(images[0].bytes, 8), -0.1f);
    EXPECT_EQ(float_at(images[0].bytes, 37), 220.5f);
    EXPECT_EQ(images[1].record, 5154);
    ASSERT_EQ(images[1].bytes.size(), 190u);
    EXPECT_EQ(float_at(images[1].bytes, 8), 40.0f);
    EXPECT_EQ(images[2].record, 5155);
    ASSERT_EQ(images[2].bytes.size(), 57u + 2 * 18u);
    EXPECT_EQ(float_at(images[2].bytes, 45), 53.5f);
    EXPECT_EQ(float_at(images[2].bytes, 57 + 18 + 5), 0.0f);  // four equal bytes: kept as zero
    EXPECT_EQ(recorder->count(site::EventKind::History), 3u);

    std::vector<std::string> raised;
    for (const auto& alarm : recorder->of(site::EventKind::Raised)) raised.push_back(alarm.key + ":" + alarm.text);
    const std::vector<std::string> expectedRaised = {
        "AC_0:交流屏1输入线/相电压AB/A", "AC_7:交流屏1频率",           "AC_19:其他告警",
        "DC_0:输出电压过低告警",         "RC_0:模块2整流模块故障告警", "KTRE40_RC_0:整流模块1模块通讯中断告警状态"};
    EXPECT_EQ(raised, expectedRaised);
    EXPECT_EQ(dev->GetChildVDevice(11)->Get_Value(0, "channel_0_a"), 220.5f);
    EXPECT_EQ(dev->GetChildVDevice(21)->Get_Value(0, "i"), 40.0f);
}

// A round that went on without the DC analog answer (refused on three polls, skipped at the fourth)
// does not renew the DC unit: its image keeps the last good round's time stamp and its values age
// out after 60 s, while the units whose answers were taken are renewed.
TEST(Ktr40eTest, AUnitWhoseAnalogAnswerWasNotTakenAgesOut) {
    PlantRig rig;
    ASSERT_TRUE(rig.start());
    const auto& [recorder, controller, script, link, dev] = rig;
    const std::vector<std::pair<std::uint8_t, Bytes>> answers = plant_answers();
    auto deliver = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k)
            rig.link->deliver(*rig.dev, line::Answer{0x20, 1, answers[k].first, 0, answers[k].second});
    };
    ASSERT_TRUE(dev->RefreshStatus());
    deliver(0, answers.size());
    const std::shared_ptr<VRTVDevice> ac = dev->GetChildVDevice(11);
    const std::shared_ptr<VRTVDevice> dc = dev->GetChildVDevice(21);
    const Bytes firstDcImage = recorder->of(site::EventKind::Publish).at(1).bytes;
    const auto longAgo = boost::posix_time::second_clock::local_time() - boost::posix_time::seconds(61);
    VRTHostAccess::last_update(*ac) = longAgo;
    VRTHostAccess::last_update(*dc) = longAgo;
    recorder->clear();

    ASSERT_TRUE(dev->RefreshStatus());
    deliver(1, 7);  // AC and rectifier answers; 42/41 is asked for
    for (int poll = 0; poll < 3; ++poll) {
        if (poll > 0) {
            link->end_exchange(*dev);
            ASSERT_TRUE(dev->RefreshStatus());
        }
        link->deliver(*dev, line::Answer{0x20, 1, 0x40, 0, answers[7].second});  // another group's answer
    }
    link->end_exchange(*dev);
    ASSERT_TRUE(dev->RefreshStatus());  // the fourth poll goes on with 42/44
    EXPECT_EQ(script->last().cid2, 0x44);
    deliver(8, answers.size());
    EXPECT_EQ(VRTHostAccess::step(*dev), 0) << "the round ended";

    const auto images = recorder->of(site::EventKind::Publish);
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(Bytes(images[1].bytes.begin() + 183, images[1].bytes.end()),
              Bytes(firstDcImage.begin() + 183, firstDcImage.end()))
        << "update_time of the last good round";
    EXPECT_EQ(VRTHostAccess::last_update(*dc), longAgo);
    EXPECT_EQ(ac->Get_Value(0, "channel_0_a"), 220.5f);
    try {
        dc->Get_Value(0, "i");
        ADD_FAILURE() << "the DC values did not age out";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "数据已超时");
    }
}

// The model check is not skipped however often its answer comes from another group: it is asked
// at every poll until an answer is checked, and a wrong model then raises 70319.
TEST(Ktr40eTest, AModelCheckAnsweredWithTheWrongCid1FiveTimesIsStillChecked) {
    PlantRig rig;
    ASSERT_TRUE(rig.start());
    const auto& [recorder, controller, script, link, dev] = rig;
    const std::string model = "KTR-400";
    for (int k = 0; k < 5; ++k) {
        ASSERT_TRUE(dev->RefreshStatus());
        EXPECT_EQ(script->last().cid2, 0x51);
        link->deliver(*dev, line::Answer{0x20, 1, 0x42, 0, {model.begin(), model.end()}});
    }
    ASSERT_TRUE(dev->RefreshStatus());
    EXPECT_EQ(script->count(), 6u);
    for (const line::Request& request : script->requests()) EXPECT_EQ(request.cid2, 0x51);
    ASSERT_TRUE(link->deliver(*dev, line::Answer{0x20, 1, 0x40, 0, {model.begin(), model.end()}}));
    EXPECT_EQ(script->last().cid2, 0x41) << "the first round starts";
    const auto alarms = recorder->of(site::EventKind::Alarm);
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(alarms[0].key, "device_model");
    EXPECT_EQ(alarms[0].code, "70319");
    EXPECT_EQ(alarms[0].text, "本驱动类型:ktr40e 检测型号:KTR-400");
    EXPECT_TRUE(alarms[0].active);
    EXPECT_EQ(recorder->count(site::EventKind::Raised), 1u);
}

// A unit with two channels whose 40/44 count byte says 0 (as some devices send): the count byte
// is not read, the whole answer is taken with the unit's two channels, and the round publishes the
// 93-byte image with the alarms the answer carries.
TEST(Ktr40eTest, AnAlarmAnswerWhoseCountByteDisagreesIsTakenWithTheUnitsChannels) {
    PlantRig rig;
    ASSERT_TRUE(rig.start());
    const auto& [recorder, controller, script, link, dev] = rig;
    std::vector<std::pair<std::uint8_t, Bytes>> answers = plant_answers();
    answers[1].second = join({{0x11, 1, 2},
                              f32(230),
                              f32(231),
                              f32(232),
                              f32(50),
                              {0},
                              f32(229),
                              f32(230),
                              f32(231),
                              f32(49.9f),
                              {0},
                              f32(10),
                              f32(11),
                              f32(12)});
    // Count byte 0 | channel 1: a too low, P 6 | channel 2: c too high, P 6 | ic below its limit.
    answers[3].second = {0, 1, 0, 1, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    ASSERT_TRUE(dev->RefreshStatus());
    for (const auto& answer : answers) link->deliver(*dev, line::Answer{0x20, 1, answer.first, 0, answer.second});
    EXPECT_EQ(VRTHostAccess::step(*dev), 0) << "the round ended";
    EXPECT_TRUE(recorder->of(site::EventKind::Log).empty());

    const auto images = recorder->of(site::EventKind::Publish);
    ASSERT_EQ(images.size(), 3u);
    ASSERT_EQ(images[0].bytes.size(), 93u);
    EXPECT_EQ(images[0].bytes[16], 2) << "channel_count";
    EXPECT_EQ(float_at(images[0].bytes, 37 + 28), 229.0f);
    std::vector<std::string> checks;
    for (const auto& alarm : recorder->of(site::EventKind::Alarm)) {
        if (alarm.device != 11) continue;
        checks.push_back(alarm.key + ":" + alarm.text + (alarm.active ? ":on" : "") + ":" + std::to_string(alarm.seq));
    }
    ASSERT_EQ(checks.size(), 31u);
    EXPECT_EQ(checks[0], "AC_0:交流屏1输入线/相电压AB/A:on:1");
    EXPECT_EQ(checks[17], "AC_6:交流屏2输入线/相电压CA/C:on:18");
    EXPECT_EQ(checks[24], "AC_14:其他告警:on:25");
    EXPECT_EQ(std::count_if(checks.begin(), checks.end(),
                            [](const std::string& c) { return c.find(":on:") != std::string::npos; }),
              3);
}

// A 41/44 answer that a module's user-defined count spoils (P 7 where one byte follows) is
// refused three times and then skipped: the round publishes the rectifier records as they were
// before those answers, nothing of the refused parts.
TEST(Ktr40eTest, ARefusedAnswerSkippedAfterThreePollsLeavesTheRecordsAsTheyWere) {
    PlantRig rig;
    ASSERT_TRUE(rig.start());
    const auto& [recorder, controller, script, link, dev] = rig;
    const std::vector<std::pair<std::uint8_t, Bytes>> answers = plant_answers();
    auto deliver = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k)
            link->deliver(*dev, line::Answer{0x20, 1, answers[k].first, 0, answers[k].second});
    };
    ASSERT_TRUE(dev->RefreshStatus());
    deliver(0, answers.size());
    const Bytes before = recorder->of(site::EventKind::Publish).at(2).bytes;
    recorder->clear();

    ASSERT_TRUE(dev->RefreshStatus());
    deliver(1, 6);  // up to 41/43; 41/44 is asked for
    // Module 1 in fault and in contact, module 2 with P 7.
    const Bytes spoilt = {0, 2, 1, 1, 0x00, 1, 7, 0};
    for (int poll = 0; poll < 3; ++poll) {
        if (poll > 0) {
            link->end_exchange(*dev);
            ASSERT_TRUE(dev->RefreshStatus());
        }
        EXPECT_EQ(script->last().cid2, 0x44);
        link->deliver(*dev, line::Answer{0x20, 1, 0x41, 0, spoilt});
    }
    link->end_exchange(*dev);
    ASSERT_TRUE(dev->RefreshStatus());
    EXPECT_EQ(script->last().cid1, 0x42) << "the round goes on without 41/44";
    deliver(7, answers.size());
    ASSERT_EQ(VRTHostAccess::step(*dev), 0);

    const Bytes after = recorder->of(site::EventKind::Publish).at(2).bytes;
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(Bytes(after.begin(), after.begin() + 50), Bytes(before.begin(), before.begin() + 50));
    EXPECT_EQ(Bytes(after.begin() + 57, after.end()), Bytes(before.begin() + 57, before.end()))
        << "the modules' records are the last round's";
    EXPECT_TRUE(recorder->of(site::EventKind::Raised).empty());
    EXPECT_TRUE(recorder->of(site::EventKind::Cleared).empty());
    std::vector<std::vector<std::string>> skips;
    for (const auto& log : recorder->of(site::EventKind::Log))
        if (log.format.find("polls in a row") != std::string::npos) skips.push_back(log.arg_texts());
    EXPECT_EQ(skips, (std::vector<std::vector<std::string>>{{"1000", "41_44", "refused", "3"}}));
}

}  // namespace
