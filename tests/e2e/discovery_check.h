#pragma once
// Home Assistant's side of the MQTT output: the discovery keys and values its MQTT sensor and
// binary sensor documentation allows, and a renderer for the template forms the host sends.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "host/json.h"

namespace e2e {

using ValueCheck = std::function<bool(const Json::Value&)>;

inline ValueCheck is_text() {
    return [](const Json::Value& v) { return v.isString() && !v.asString().empty(); };
}
inline ValueCheck one_of(std::set<std::string> allowed) {
    return [allowed](const Json::Value& v) { return v.isString() && allowed.count(v.asString()) != 0; };
}
inline ValueCheck prefixed(std::string prefix) {
    return [prefix](const Json::Value& v) { return v.isString() && v.asString().rfind(prefix, 0) == 0; };
}
inline bool text_list(const Json::Value& v) {
    if (!v.isArray() || v.empty()) return false;
    for (const Json::Value& item : v)
        if (!item.isString() || item.asString().empty()) return false;
    return true;
}
inline bool availability_list(const Json::Value& v) {
    if (!v.isArray() || v.empty()) return false;
    for (const Json::Value& item : v)
        if (!item.isObject() || item.size() != 1 || !item["topic"].isString()) return false;
    return true;
}
// A complete device block: what the device registry shows, and the power system it hangs off.
inline bool device_block(const Json::Value& v) {
    static const std::set<std::string> keys = {"identifiers", "name", "model", "manufacturer", "via_device"};
    if (!v.isObject() || !text_list(v["identifiers"])) return false;
    for (const char* key : {"name", "model", "manufacturer"})
        if (!v[key].isString() || v[key].asString().empty()) return false;
    for (const std::string& key : v.getMemberNames())
        if (keys.count(key) == 0) return false;
    return true;
}

// Sensor device classes the host uses, with the units Home Assistant accepts for each.
inline const std::map<std::string, std::set<std::string>>& sensor_units() {
    static const std::map<std::string, std::set<std::string>> units = {
        {"voltage", {"V", "mV", "µV", "kV", "MV"}},
        {"current", {"A", "mA"}},
        {"frequency", {"Hz", "kHz", "MHz", "GHz"}},
        {"power", {"W", "kW", "MW", "GW", "TW", "mW", "BTU/h"}},
    };
    return units;
}

// component -> key -> what its value may be.
inline const std::map<std::string, std::map<std::string, ValueCheck>>& discovery_table() {
    static const std::map<std::string, std::map<std::string, ValueCheck>> table = [] {
        std::map<std::string, ValueCheck> common = {
            {"name", is_text()},
            {"unique_id", is_text()},
            {"state_topic", is_text()},
            {"value_template", is_text()},
            {"json_attributes_topic", is_text()},
            {"availability", availability_list},
            {"availability_mode", one_of({"all", "any", "latest"})},
            {"device", device_block},
            {"entity_category", one_of({"diagnostic"})},
        };
        std::map<std::string, ValueCheck> sensor = common;
        sensor["default_entity_id"] = prefixed("sensor.");
        sensor["device_class"] = one_of({"voltage", "current", "frequency", "power"});
        sensor["unit_of_measurement"] = one_of({"V", "A", "Hz", "W"});
        sensor["state_class"] = one_of({"measurement", "total", "total_increasing"});
        sensor["suggested_display_precision"] = [](const Json::Value& v) { return v.isInt() && v.asInt() >= 0; };
        std::map<std::string, ValueCheck> binary = common;
        binary["default_entity_id"] = prefixed("binary_sensor.");
        binary["device_class"] = one_of({"problem"});
        return std::map<std::string, std::map<std::string, ValueCheck>>{{"sensor", sensor}, {"binary_sensor", binary}};
    }();
    return table;
}

// Every key known and its value allowed, the keys Home Assistant needs present, and a unit
// that fits the device class.
inline void expect_valid_config(const std::string& component, const Json::Value& config) {
    const auto& allowed = discovery_table().at(component);
    for (const std::string& key : config.getMemberNames()) {
        const auto rule = allowed.find(key);
        if (rule == allowed.end()) {
            ADD_FAILURE() << "key " << key << " is not a " << component << " discovery key";
        } else {
            EXPECT_TRUE(rule->second(config[key])) << key << ": " << config[key].toStyledString();
        }
    }
    for (const char* key : {"name", "unique_id", "default_entity_id", "state_topic", "device", "availability"})
        EXPECT_TRUE(config.isMember(key)) << "no " << key;
    EXPECT_EQ(config["default_entity_id"].asString(), component + "." + config["unique_id"].asString());
    if (config.isMember("device_class") && component == "sensor") {
        EXPECT_EQ(sensor_units().at(config["device_class"].asString()).count(config["unit_of_measurement"].asString()),
                  1u)
            << config["device_class"] << " in " << config["unit_of_measurement"];
    }
    if (config["entity_category"] == "diagnostic") {
        EXPECT_FALSE(config.isMember("state_class"));
    }
}

// value_json.a.b[0].c and value_json.provided['x'] on a parsed state message.
inline const Json::Value& template_lookup(const Json::Value& message, const std::string& expression) {
    static const Json::Value missing;
    static const std::regex step(R"(\.([A-Za-z_][A-Za-z0-9_]*)|\[(\d+)\]|\['([^']*)'\])");
    if (expression.rfind("value_json", 0) != 0) return missing;
    const Json::Value* at = &message;
    std::string rest = expression.substr(10);
    std::smatch match;
    while (!rest.empty()) {
        if (!std::regex_search(rest, match, step) || match.position(0) != 0) return missing;
        if (match[2].matched) {
            const auto i = static_cast<Json::ArrayIndex>(std::stoul(match[2]));
            if (!at->isArray() || i >= at->size()) return missing;
            at = &(*at)[i];
        } else {
            const std::string member = match[1].matched ? match[1].str() : match[3].str();
            if (!at->isObject() || !at->isMember(member)) return missing;
            at = &(*at)[member];
        }
        rest = match.suffix();
    }
    return *at;
}

inline std::string template_term(const Json::Value& message, const std::string& term) {
    if (term.size() >= 2 && term.front() == '\'' && term.back() == '\'') return term.substr(1, term.size() - 2);
    if (term == "None") return "None";
    const Json::Value& value = template_lookup(message, term);
    EXPECT_FALSE(value.isNull()) << term << " names nothing in the state message";
    if (value.isDouble()) {
        std::ostringstream out;
        out << value.asDouble();
        return out.str();
    }
    return value.isBool() ? (value.asBool() ? "True" : "False") : value.asString();
}

// Renders "{{ A if C else B }}", the one form the host sends, as Jinja would; "None" is
// Home Assistant's unknown.
inline std::string render_template(const std::string& text, const Json::Value& message) {
    static const std::regex form(R"(\{\{ (\S+) if (\S+) else (\S+) \}\})");
    std::smatch match;
    if (!std::regex_match(text, match, form)) {
        ADD_FAILURE() << "a template form the renderer does not know: " << text;
        return "";
    }
    const Json::Value& condition = template_lookup(message, match[2]);
    EXPECT_TRUE(condition.isBool()) << match[2] << " is no flag in the state message";
    return template_term(message, condition.asBool() ? match[1].str() : match[3].str());
}

// Checks every discovery config among the retained messages and renders its template against
// the state it names. Returns unique_id -> rendered state.
inline std::map<std::string, std::string> check_discovery(const std::map<std::string, std::string>& retained,
                                                          const std::string& discoveryPrefix = "homeassistant/") {
    std::map<std::string, std::string> rendered;
    for (const auto& [topic, payload] : retained) {
        if (topic.rfind(discoveryPrefix, 0) != 0) continue;
        SCOPED_TRACE(topic);
        const std::string component =
            topic.substr(discoveryPrefix.size(), topic.find('/', discoveryPrefix.size()) - discoveryPrefix.size());
        Json::Value config;
        std::istringstream in(payload);
        const bool parsed = Json::parseFromStream(Json::CharReaderBuilder(), in, &config, nullptr);
        EXPECT_TRUE(parsed) << payload;
        if (!parsed) continue;
        expect_valid_config(component, config);
        const auto state = retained.find(config["state_topic"].asString());
        EXPECT_NE(state, retained.end()) << "no retained state on " << config["state_topic"];
        if (state == retained.end()) continue;
        Json::Value message;
        std::istringstream stateIn(state->second);
        EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), stateIn, &message, nullptr)) << state->second;
        rendered[config["unique_id"].asString()] = render_template(config["value_template"].asString(), message);
    }
    return rendered;
}

}  // namespace e2e
