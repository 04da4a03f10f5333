// One completed round as the console, MQTT and the metrics file show it, and the writer of
// the MQTT messages against the host's line writer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "site/host/json_text.h"
#include "site/outputs/json_writer.h"
#include "site/outputs/metrics_file.h"
#include "site/outputs/mqtt_output.h"
#include "site/trace/round_summary.h"
#include "site/outputs/site_outputs.h"
#include "site/round/staleness.h"
#include "tests/shared/text_file.h"

namespace {

std::string line_writer_text(const Json::Value& value) {
    std::ostringstream out;
    site::make_line_writer()->write(value, &out);
    return out.str();
}

std::string writer_text(const Json::Value& value) {
    std::string out;
    site::JsonWriter(out).value(value);
    return out;
}

TEST(JsonWriter, WritesDecodedValuesAsTheLineWriterDoes) {
    Json::Value tree;
    tree["text"] = std::string("quote \" backslash \\ lf \n tab \t cr \r bs \b ff \f unit \x1f nul") + '\0' + " é / ~";
    tree["floats"].append(site::float_json(53.6f));
    tree["floats"].append(site::float_json(230.0f));
    tree["floats"].append(site::float_json(-0.1f));
    tree["floats"].append(site::float_json(1e-7f));
    tree["floats"].append(site::float_json(3.4e38f));
    tree["floats"].append(site::float_json(std::numeric_limits<float>::quiet_NaN()));
    tree["floats"].append(site::float_json(0.0f));
    tree["whole"].append(Json::Value(4294967295u));
    tree["whole"].append(Json::Value(-12));
    tree["whole"].append(Json::Value(true));
    tree["nested"]["empty_object"] = Json::Value(Json::objectValue);
    tree["nested"]["empty_array"] = Json::Value(Json::arrayValue);
    tree["nested"]["channels"].append(tree["floats"]);
    EXPECT_EQ(writer_text(tree), line_writer_text(tree));
}

TEST(JsonWriter, PlacesCommasAndEscapesKeys) {
    std::string out;
    site::JsonWriter json(out);
    json.begin_object().key("a\"").value(1u).key("b").begin_array().value(2.5).value(-3).end_array();
    json.key("c").begin_object().end_object().key("d").value("x\x02").key("e").value(100.0).end_object();
    EXPECT_EQ(out, R"({"a\"":1,"b":[2.5,-3],"c":{},"d":"x\u0002","e":100.0})");
}

// A DC unit's image: 53.5 V, 12.25 A, two batteries, one parameter not provided.
std::vector<std::uint8_t> dc_image() {
    std::vector<std::uint8_t> image(site::layout_size(site::kDcFields));
    auto put_float = [&](const char* field, int index, float value) {
        std::memcpy(&image[site::field_offset(site::kDcFields, field) + 4 * index], &value, 4);
    };
    image[site::field_offset(site::kDcFields, "device_id")] = 21;
    put_float("voltage", 0, 53.5f);
    put_float("current", 0, 12.25f);
    image[site::field_offset(site::kDcFields, "dc_m")] = 2;
    put_float("m_value", 0, 1.5f);
    put_float("m_value", 1, -2.25f);
    image[site::field_offset(site::kDcFields, "p_count")] = 1;
    put_float("user_p", 0, -0.1f);
    image[site::field_offset(site::kDcFields, "voltage_state")] = 2;
    return image;
}

std::shared_ptr<site::CompletedRound> dc_round() {
    auto round = std::make_shared<site::CompletedRound>();
    round->system = 1;
    round->number = 7;
    round->took = std::chrono::milliseconds(1250);
    round->done = std::chrono::steady_clock::now();
    round->endedAt = std::chrono::system_clock::now();
    round->staleAfter = std::chrono::seconds(60);
    site::RoundUnit& unit = round->units.emplace_back();
    unit.unit = 21;
    unit.record = site::kDcRecord;
    unit.image = dc_image();
    site::decode_unit(unit);
    site::RoundAlarm alarm;
    alarm.unit = 21;
    alarm.key = "DC_VOLT";
    alarm.code = "0301";
    alarm.name = "DC voltage";
    alarm.text = "low";
    alarm.level = 2;
    alarm.state = 2;
    alarm.multiState = true;
    alarm.change = site::AlarmCheck::Change::Raised;
    round->checks.push_back(alarm);
    round->transitions.push_back(alarm);
    return round;
}

TEST(CompletedRound, ConsoleMqttAndMetricsShowTheSameValues) {
    const std::shared_ptr<const site::CompletedRound> round = dc_round();
    const site::RoundUnit& image = round->units.front();
    ASSERT_TRUE(image.decoded.ok) << image.decoded.error;

    const std::string summary = site::round_summary(*round);
    EXPECT_NE(summary.find("== power system 1, round 7 (1.25 s) =="), std::string::npos) << summary;
    EXPECT_NE(summary.find("DC 21: 53.50 V, 12.25 A load; batteries 1.50, -2.25 A;"), std::string::npos) << summary;
    EXPECT_NE(summary.find("[voltage_state=2]"), std::string::npos) << summary;
    EXPECT_NE(summary.find("alarm raised  0301 DC voltage: low (unit 21)"), std::string::npos) << summary;

    site::UnitState unit;
    unit.system = 1;
    unit.unit = 21;
    unit.record = site::kDcRecord;
    unit.kind = "dc";
    unit.round = 7;
    unit.time = "2026-12-08T13:01:02+01:00";
    unit.ok = true;
    unit.from = round;
    unit.image = &image;
    Json::Value state;
    ASSERT_TRUE(Json::Reader().parse(site::MqttOutput::state_message(unit), state));
    EXPECT_EQ(state["fields"]["voltage"].asDouble(), 53.5);
    EXPECT_EQ(state["fields"]["m_value"][1].asDouble(), -2.25);
    EXPECT_EQ(line_writer_text(state["fields"]), line_writer_text(image.decoded.fields));
    EXPECT_EQ(state["round"].asUInt64(), 7u);
    EXPECT_TRUE(state["provided"]["m_value.1"].asBool());
    EXPECT_FALSE(state["provided"]["user_p.0"].asBool());

    const std::string dir =
        (std::filesystem::temp_directory_path() / ("run_outputs_" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(dir);
    {
        site::SiteOutputs::Setup setup;
        setup.metricsFile = dir + "/ktr40e.prom";
        setup.systems.push_back(site::SystemUnits{1, {1, 21}});
        site::SiteOutputs outputs(std::move(setup));
        outputs.on_round(round);
    }
    const std::string metrics = read_text(dir + "/ktr40e.prom");
    std::filesystem::remove_all(dir);
    EXPECT_NE(metrics.find("ktr40e_dc_volts{system=\"1\",unit=\"21\"} 53.5\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("ktr40e_battery_amperes{system=\"1\",unit=\"21\",battery=\"2\"} -2.25\n"), std::string::npos)
        << metrics;
    EXPECT_EQ(metrics.find("name=\"user_p.0\""), std::string::npos) << metrics;
    EXPECT_NE(
        metrics.find("ktr40e_alarm_active{system=\"1\",unit=\"21\",key=\"DC_VOLT\",code=\"0301\",level=\"2\"} 2\n"),
        std::string::npos)
        << metrics;
}

TEST(AlarmMessage, KeepsItsMembersInNameOrder) {
    site::AlarmState alarm;
    alarm.system = 1;
    alarm.unit = 21;
    alarm.key = "DC_VOLT";
    alarm.number = 3;
    alarm.code = "0301";
    alarm.name = "DC \"voltage\"";
    alarm.text = "low";
    alarm.level = 2;
    alarm.multiState = true;
    alarm.state = 2;
    alarm.changed = "2026-12-08T13:01:02+01:00";
    EXPECT_EQ(site::MqttOutput::alarm_message(alarm),
              R"({"active":true,"changed":"2026-12-08T13:01:02+01:00","code":"0301","key":"DC_VOLT",)"
              R"("level":2,"name":"DC \"voltage\"","number":3,"state":2,"system":1,"text":"low","unit":21})");
}

// The runner's stall warning and the outputs' offline mark share this one rule.
TEST(Staleness, ThreeRoundsOfTheLastRoundTimeOrThePollIntervalWhicheverIsLonger) {
    using std::chrono::milliseconds;
    using std::chrono::seconds;
    site::SystemConfig config;
    config.pollInterval = 5;
    config.minRoundGap = 2;
    config.replyTimeout = milliseconds(1500);
    config.settle = milliseconds(300);
    EXPECT_EQ(site::stale_after(config, seconds(0)), 3 * 11 * milliseconds(1800));  // no round yet
    EXPECT_EQ(site::stale_after(config, seconds(1)), seconds(15));                  // the poll interval
    EXPECT_EQ(site::stale_after(config, seconds(4)), seconds(18));                  // 4 s + the 2 s gap
    config.pollInterval = 0;
    config.minRoundGap = 0;
    EXPECT_EQ(site::stale_after(config, milliseconds(200)), seconds(3));  // never under a second a round
}

}  // namespace

// Only digits between two words of the device's language number an input, fuse or module;
// model names and plain texts number nothing.
TEST(AlarmItemNumber, DigitsBetweenTheDevicesWordsOnly) {
    EXPECT_EQ(site::alarm_item_number("交流屏2输入线/相电压AB/A"), 2);
    EXPECT_EQ(site::alarm_item_number("整流模块12模块通讯中断告警状态"), 12);
    EXPECT_EQ(site::alarm_item_number("直流1电池熔丝故障告警"), 1);
    EXPECT_EQ(site::alarm_item_number("其他告警"), -1);
    EXPECT_EQ(site::alarm_item_number("本驱动类型:ktr40e-dc 检测型号:KTR-40"), -1);
    EXPECT_EQ(site::alarm_item_number("模块7"), -1);
    EXPECT_EQ(site::alarm_item_number(""), -1);
}
