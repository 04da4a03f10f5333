#include "site/discover/findings.h"

#include <algorithm>
#include <map>

#include <json/writer.h>

#include "site/discover/addresses.h"

namespace discover {
namespace {

constexpr unsigned kIdsPerAddress = 1000;
constexpr unsigned kFirstAcId = 101;
constexpr unsigned kFirstDcId = 501;
constexpr std::uint8_t kRtnAddressError = 0x90;

const char* parity_word(line::Parity parity) {
    switch (parity) {
        case line::Parity::Even: return "even";
        case line::Parity::Odd: return "odd";
        default: return "none";
    }
}

std::string count_text(const Count<unsigned>& count) { return count.value ? std::to_string(*count.value) : "?"; }

std::string ac_text(const Count<std::vector<unsigned>>& ac) {
    if (!ac.value) return "?";
    std::string channels;
    for (const unsigned n : *ac.value) channels += (channels.empty() ? "" : ", ") + std::to_string(n);
    return std::to_string(ac.value->size()) + (channels.empty() ? "" : " (" + channels + ")");
}

std::string optional_text(const std::vector<Asked>& asked) {
    std::string missing;
    for (const Asked& a : asked) {
        if (!a.reply.answered())
            missing += (missing.empty() ? "" : ", ") + command_text(a.cid1, a.cid2) + " (" + reply_text(a.reply) + ")";
    }
    return missing.empty() ? "all answered" : "not " + missing;
}

// Why an address gave no power system.
std::string unfound_text(const Reply& reply) {
    if (reply.kind != Reply::Kind::Answer) return reply_text(reply);
    if (reply.answer.rtn == kRtnAddressError) return "address error (RTN 0x90) from a device at another address";
    return "model query refused (" + reply_text(reply) + ")";
}

// The rows as columns two blanks apart, as wide as their widest cell, each row on a line of its
// own indented by two.
std::string columns(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i)
            line += "  " + row[i] + std::string(widths[i] - row[i].size(), ' ');
        text += "\n" + line.substr(0, line.find_last_not_of(' ') + 1);
    }
    return text;
}

std::string model_note(const Survey& survey) {
    if (survey.model == kDriverModel) return std::string();
    return "model \"" + line::printable(survey.model) + "\": the driver expects \"" + kDriverModel + "\"";
}

void compare(std::vector<std::string>& out, const char* what, unsigned inFile, const Count<unsigned>& found) {
    if (!found.value) {
        out.push_back(found.note);
    } else if (*found.value != inFile) {
        out.push_back(std::string(what) + ": " + std::to_string(*found.value) + ", the site file has " +
                      std::to_string(inFile));
    }
}

Count<unsigned> unit_count(const Count<std::vector<unsigned>>& ac) {
    if (!ac.value) return Count<unsigned>{std::nullopt, ac.note};
    return Count<unsigned>{static_cast<unsigned>(ac.value->size()), ac.note};
}

void compare_channels(std::vector<std::string>& out, const Json::Value& units, const std::vector<unsigned>& found) {
    for (Json::ArrayIndex i = 0; i < units.size() && i < found.size(); ++i) {
        const Json::Value& channels = units[i]["channels"];
        if (channels.isNull() || channels.asUInt() == found[i]) continue;
        out.push_back("AC unit " + units[i]["data_id"].asString() + " input channels: " + std::to_string(found[i]) +
                      ", the site file has " + channels.asString());
    }
}

// A site file's keys in the order people read a system: who, where, which units.
const char* const kKeyOrder[] = {
    "data_id",          "port",      "baud",      "parity",    "stop_bits", "address",
    "protocol_version", "acSetting", "dcSetting", "rcSetting",
};

std::vector<std::string> ordered_keys(const Json::Value& object) {
    std::vector<std::string> keys;
    for (const char* key : kKeyOrder)
        if (object.isMember(key)) keys.emplace_back(key);
    for (const std::string& key : object.getMemberNames())
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    return keys;
}

std::string scalar_text(const Json::Value& value) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, value);
}

// A value on one line: {"data_id": 1101, "channels": 2}.
std::string inline_text(const Json::Value& value) {
    if (!value.isObject() && !value.isArray()) return scalar_text(value);
    const bool object = value.isObject();
    std::string text;
    const std::vector<std::string> keys = object ? ordered_keys(value) : std::vector<std::string>();
    for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
        text += i == 0 ? "" : ", ";
        text += object ? scalar_text(keys[i]) + ": " + inline_text(value[keys[i]]) : inline_text(value[i]);
    }
    return object ? "{" + text + "}" : "[" + text + "]";
}

}  // namespace

unsigned system_data_id(std::uint8_t address) { return address * kIdsPerAddress; }
unsigned ac_data_id(std::uint8_t address, unsigned index) { return system_data_id(address) + kFirstAcId + index; }
unsigned dc_data_id(std::uint8_t address, unsigned index) { return system_data_id(address) + kFirstDcId + index; }

Json::Value site_json(const std::vector<AddressResult>& results, const LineSettings& line) {
    Json::Value site(Json::objectValue);
    Json::Value& systems = site["systems"] = Json::Value(Json::arrayValue);
    for (const AddressResult& result : results) {
        if (result.kind != AddressResult::Kind::Found) continue;
        const Survey& survey = result.survey;
        const std::uint8_t address = result.address;
        Json::Value system(Json::objectValue);
        system["data_id"] = system_data_id(address);
        system["port"] = line.port;
        system["baud"] = line.baud;
        system["parity"] = parity_word(line.format.parity);
        system["stop_bits"] = line.format.stopBits;
        system["address"] = static_cast<unsigned>(address);
        system["protocol_version"] = static_cast<unsigned>(survey.version);
        Json::Value& ac = system["acSetting"] = Json::Value(Json::arrayValue);
        const std::vector<unsigned> channels = survey.acChannels.value.value_or(std::vector<unsigned>());
        for (unsigned i = 0; i < channels.size(); ++i) {
            Json::Value& unit = ac.append(Json::Value(Json::objectValue));
            unit["data_id"] = ac_data_id(address, i);
            unit["channels"] = channels[i];
        }
        Json::Value& dc = system["dcSetting"] = Json::Value(Json::arrayValue);
        for (unsigned i = 0; i < survey.dcUnits.value.value_or(0); ++i)
            dc.append(Json::Value(Json::objectValue))["data_id"] = dc_data_id(address, i);
        Json::Value& rc = system["rcSetting"] = Json::Value(Json::objectValue);
        if (survey.modules.value) rc["modules"] = *survey.modules.value;
        systems.append(system);
    }
    return site;
}

std::string site_text(const Json::Value& site) {
    std::string text = "{\n  \"systems\": [";
    const Json::Value& systems = site["systems"];
    for (Json::ArrayIndex i = 0; i < systems.size(); ++i) {
        text += i == 0 ? "\n    {" : ",\n    {";
        const std::vector<std::string> keys = ordered_keys(systems[i]);
        for (std::size_t k = 0; k < keys.size(); ++k)
            text +=
                (k == 0 ? "\n      " : ",\n      ") + scalar_text(keys[k]) + ": " + inline_text(systems[i][keys[k]]);
        text += "\n    }";
    }
    return text + "\n  ]\n}\n";
}

std::string scan_table(const ScanResult& scan, const std::vector<std::uint8_t>& asked) {
    std::vector<std::vector<std::string>> rows = {
        {"address", "protocol", "model", "AC units (channels)", "DC units", "rectifier modules", "optional requests"}};
    std::vector<std::string> notes;
    std::map<std::string, std::vector<std::uint8_t>> unfound;
    std::vector<std::uint8_t> reached;
    for (const AddressResult& result : scan.results) {
        reached.push_back(result.address);
        if (result.kind != AddressResult::Kind::Found) {
            unfound[unfound_text(result.reply)].push_back(result.address);
            continue;
        }
        const Survey& s = result.survey;
        rows.push_back({std::to_string(result.address), version_text(s.version), "\"" + line::printable(s.model) + "\"",
                        ac_text(s.acChannels), count_text(s.dcUnits), count_text(s.modules),
                        optional_text(s.optional)});
        for (const std::string& note : {model_note(s), s.acChannels.note, s.dcUnits.note, s.modules.note})
            if (!note.empty()) notes.push_back("address " + std::to_string(result.address) + ": " + note);
    }
    const std::size_t found = rows.size() - 1;
    std::string text = found == 0 ? "no power system found"
                                  : std::to_string(found) + (found == 1 ? " power system" : " power systems") +
                                        " found:" + columns(rows);
    for (const std::string& note : notes) text += "\n  " + note;
    for (const auto& [why, addresses] : unfound) text += "\n  " + why + ": " + addresses_text(addresses);
    std::vector<std::uint8_t> unasked;
    for (const std::uint8_t address : asked)
        if (std::find(reached.begin(), reached.end(), address) == reached.end()) unasked.push_back(address);
    if (!unasked.empty()) text += "\n  not asked: " + addresses_text(unasked);
    return text;
}

std::vector<std::string> differences(const site::SystemConfig& system, const AddressResult& result) {
    const Json::Value& settings = system.settings;
    if (result.kind != AddressResult::Kind::Found)
        return {"address " + std::to_string(result.address) + ": " + unfound_text(result.reply)};
    const Survey& survey = result.survey;
    std::vector<std::string> out;
    const std::string model = model_note(survey);
    if (!model.empty()) out.push_back(model);
    const auto version = static_cast<std::uint8_t>(settings.get("protocol_version", kProtocol20).asUInt());
    if (survey.version != version)
        out.push_back("answers protocol version " + version_text(survey.version) + ", the site file has " +
                      version_text(version));
    compare(out, "AC units", settings["acSetting"].size(), unit_count(survey.acChannels));
    if (survey.acChannels.value) compare_channels(out, settings["acSetting"], *survey.acChannels.value);
    compare(out, "DC units", settings["dcSetting"].size(), survey.dcUnits);
    const Json::Value& modules = settings["rcSetting"]["modules"];
    if (!modules.isNull()) compare(out, "rectifier modules", modules.asUInt(), survey.modules);
    return out;
}

}  // namespace discover
