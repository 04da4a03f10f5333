// The site file written from what a scan found, the host's reading of it, and what --check
// tells apart.
#include <gtest/gtest.h>

#include <set>

#include "site/discover/findings.h"
#include "site/config/usage_error.h"

namespace {

using discover::AddressResult;

AddressResult found_at(std::uint8_t address, std::vector<unsigned> acChannels, unsigned dcUnits, unsigned modules) {
    AddressResult result;
    result.address = address;
    result.kind = AddressResult::Kind::Found;
    result.survey.model = "KTR-40";
    result.survey.acChannels.value = std::move(acChannels);
    result.survey.dcUnits.value = dcUnits;
    result.survey.modules.value = modules;
    return result;
}

const discover::LineSettings kLine{"/dev/ttyUSB0", 9600, line::LineFormat()};

Json::Value parsed(const std::string& text) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    Json::Value value;
    std::string errors;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << errors << text;
    return value;
}

void collect_ids(const Json::Value& value, std::vector<unsigned>& ids) {
    if (value.isObject() && value.isMember("data_id")) ids.push_back(value["data_id"].asUInt());
    if (value.isObject() || value.isArray())
        for (const Json::Value& member : value) collect_ids(member, ids);
}

// The fullest systems at the first and the last address: every data id in range and once only,
// and the host takes the file as it is written.
TEST(SiteFile, TheHostReadsWhatIsWrittenWithEveryDataIdOnce) {
    std::vector<AddressResult> results = {found_at(1, std::vector<unsigned>(255, 255), 255, 255),
                                          found_at(254, {2, 1}, 2, 0), found_at(2, {}, 0, 3)};
    results[1].survey.version = discover::kProtocol21;
    discover::LineSettings line = kLine;
    line.format = line::LineFormat{line::Parity::Even, 2};
    const Json::Value site = discover::site_json(results, line);
    const std::string text = discover::site_text(site);
    EXPECT_EQ(discover::site_text(parsed(text)), text);
    const site::SiteConfig config = site::parse_site(parsed(text), "", "discovered");
    ASSERT_EQ(config.systems.size(), 3u);
    EXPECT_EQ(config.systems[1].dataId, 254000u);
    EXPECT_EQ(config.systems[1].port, "/dev/ttyUSB0");
    EXPECT_EQ(config.systems[1].settings["address"], 254);
    EXPECT_EQ(config.systems[1].settings["protocol_version"], 33);
    EXPECT_EQ(config.systems[1].format.parity, line::Parity::Even);
    EXPECT_EQ(config.systems[1].format.stopBits, 2);
    EXPECT_EQ(config.systems[1].settings["acSetting"][1]["data_id"], 254102);
    EXPECT_EQ(config.systems[1].settings["acSetting"][1]["channels"], 1);
    EXPECT_EQ(config.systems[1].settings["dcSetting"][1]["data_id"], 254502);
    EXPECT_EQ(config.systems[2].settings["rcSetting"]["modules"], 3);
    std::vector<unsigned> ids;
    collect_ids(site, ids);
    EXPECT_EQ(ids.size(), 3u + 255 + 255 + 2 + 2);
    EXPECT_EQ(std::set<unsigned>(ids.begin(), ids.end()).size(), ids.size());
}

// A count that could not be read is written as no units; the host still takes the file.
TEST(SiteFile, CountsNotKnownAreLeftOut) {
    AddressResult result = found_at(7, {}, 0, 0);
    result.survey.acChannels = {std::nullopt, "40/41: no answer; AC units not known"};
    result.survey.modules = {std::nullopt, "41/41: no answer; rectifier modules not known"};
    const Json::Value site = discover::site_json({result, AddressResult()}, kLine);
    ASSERT_EQ(site["systems"].size(), 1u);
    EXPECT_EQ(site["systems"][0]["acSetting"], Json::Value(Json::arrayValue));
    EXPECT_EQ(site["systems"][0]["rcSetting"], Json::Value(Json::objectValue));
    EXPECT_NO_THROW(site::parse_site(site, "", "discovered"));
}

TEST(Check, NamesEveryDifferenceFromTheSiteFile) {
    const Json::Value site = discover::site_json({found_at(3, {2, 1}, 1, 4)}, kLine);
    const site::SystemConfig system = site::parse_site(site, "", "site").systems.front();
    const struct {
        const char* name;
        std::function<void(AddressResult&)> change;
        std::vector<std::string> differences;
    } cases[] = {
        {"the same", [](AddressResult&) {}, {}},
        {"a module more",
         [](AddressResult& r) { r.survey.modules.value = 5u; },
         {"rectifier modules: 5, the site file has 4"}},
        {"an AC unit less",
         [](AddressResult& r) { r.survey.acChannels.value = std::vector<unsigned>{2}; },
         {"AC units: 1, the site file has 2"}},
        {"a channel more",
         [](AddressResult& r) {
             r.survey.acChannels.value = std::vector<unsigned>{2, 2};
         },
         {"AC unit 3102 input channels: 2, the site file has 1"}},
        {"DC units unknown",
         [](AddressResult& r) {
             r.survey.dcUnits = {std::nullopt, "42/41: no answer; DC units not known"};
         },
         {"42/41: no answer; DC units not known"}},
        {"another model and version",
         [](AddressResult& r) {
             r.survey.model = "KTR-48";
             r.survey.version = discover::kProtocol21;
         },
         {"model \"KTR-48\": the driver expects \"KTR-40\"", "answers protocol version 0x21, the site file has 0x20"}},
        {"silent",
         [](AddressResult& r) {
             r.kind = AddressResult::Kind::Silent;
             r.reply = discover::Reply();
         },
         {"address 3: no answer"}},
    };
    for (const auto& c : cases) {
        AddressResult answered = found_at(3, {2, 1}, 1, 4);
        c.change(answered);
        EXPECT_EQ(discover::differences(system, answered), c.differences) << c.name;
    }
}

}  // namespace
