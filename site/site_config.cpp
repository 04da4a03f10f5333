#include "site/site_config.h"

#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "site/serial.h"

namespace site {
namespace {

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw std::runtime_error(where + ": " + what);
}

unsigned read_data_id(const Json::Value& value, const std::string& where) {
    if (!value.isIntegral() || value.asInt64() < 0 || value.asUInt64() > 0xFFFFFFFFull)
        fail(where, "\"data_id\" must be a whole number from 0 to 4294967295");
    return value.asUInt();
}

double read_seconds(const Json::Value& system, const char* key, double fallback, const std::string& where) {
    const Json::Value& value = system[key];
    if (value.isNull()) return fallback;
    if (!value.isNumeric() || value.asDouble() < 0 || value.asDouble() > 86400)
        fail(where, std::string("\"") + key + "\" must be a number of seconds from 0 to 86400");
    return value.asDouble();
}

// Every unit keeps its history under its data id: two units with one id would mix them.
void check_unique_ids(const SiteConfig& site) {
    std::set<unsigned> seen;
    auto claim = [&](unsigned id, const std::string& what) {
        if (!seen.insert(id).second) fail(what, "data id " + std::to_string(id) + " is used twice in the site");
    };
    for (const SystemConfig& system : site.systems) {
        claim(system.dataId, "system " + std::to_string(system.dataId));
        for (const char* key : {"acSetting", "dcSetting"}) {
            const Json::Value& units = system.settings[key];
            if (!units.isArray()) continue;
            for (Json::ArrayIndex i = 0; i < units.size(); ++i) {
                const std::string where = "system " + std::to_string(system.dataId) + " " + key + "[" +
                                          std::to_string(i) + "]";
                claim(read_data_id(units[i]["data_id"], where), where);
            }
        }
    }
}

Json::Value read_simulator(const Json::Value& value, const std::string& folder, const std::string& where) {
    if (value.isNull() || value.isObject()) return value;
    if (value.isString()) return read_json_file(resolve_path(folder, value.asString()));
    fail(where, "\"simulator\" must be an object or the name of a JSON file");
}

SystemConfig parse_system(const Json::Value& object, const std::string& folder, const std::string& where) {
    if (!object.isObject()) fail(where, "a power system must be a JSON object");
    SystemConfig system;
    system.settings = object;
    system.dataId = read_data_id(object["data_id"], where);
    const std::string named = where + " (data id " + std::to_string(system.dataId) + ")";
    const Json::Value& port = object["port"];
    if (!port.isNull() && !port.isString()) fail(named, "\"port\" must be a device path");
    system.port = port.asString();
    const Json::Value& baud = object["baud"];
    if (!baud.isNull()) {
        if (!baud.isIntegral() || !supported_baud(baud.asInt()))
            fail(named, "\"baud\" must be one of 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400");
        system.baud = baud.asInt();
    }
    const Json::Value& version = object["protocol_version"];
    if (!version.isNull() && (!version.isIntegral() || version.asInt64() < 0 || version.asInt64() > 255))
        fail(named, "\"protocol_version\" must be a number from 0 to 255 (32 for 0x20, 33 for 0x21)");
    const Json::Value& address = object["address"];
    if (!address.isNull() && (!address.isIntegral() || address.asInt64() < 0 || address.asInt64() > 255))
        fail(named, "\"address\" must be a number from 0 to 255");
    system.pollInterval = read_seconds(object, "poll_interval", 0, named);
    system.minRoundGap = read_seconds(object, "min_round_gap", 2, named);
    if (system.minRoundGap > 0 && system.minRoundGap < 2)
        fail(named, "\"min_round_gap\" must be 0 or at least 2: the device itself waits 2 s after a round");
    const Json::Value& trust = object["trust_dataflag"];
    if (!trust.isNull() && !trust.isBool()) fail(named, "\"trust_dataflag\" must be true or false");
    system.trustDataflag = trust.asBool();
    const Json::Value& timeout = object["reply_timeout_ms"];
    if (!timeout.isNull()) {
        if (!timeout.isIntegral() || timeout.asInt64() < 10 || timeout.asInt64() > 60000)
            fail(named, "\"reply_timeout_ms\" must be a whole number from 10 to 60000");
        system.replyTimeout = std::chrono::milliseconds(timeout.asInt64());
    }
    system.simulator = read_simulator(object["simulator"], folder, named);
    return system;
}

std::string read_text(const Json::Value& object, const char* key, const std::string& fallback,
                      const std::string& where) {
    const Json::Value& value = object[key];
    if (value.isNull()) return fallback;
    if (!value.isString() || value.asString().empty()) fail(where, std::string("\"") + key + "\" must be a non-empty text");
    return value.asString();
}

std::int64_t read_whole(const Json::Value& object, const char* key, std::int64_t fallback, std::int64_t low,
                        std::int64_t high, const std::string& where) {
    const Json::Value& value = object[key];
    if (value.isNull()) return fallback;
    if (!value.isIntegral() || value.asInt64() < low || value.asInt64() > high)
        fail(where, std::string("\"") + key + "\" must be a whole number from " + std::to_string(low) + " to " +
                        std::to_string(high));
    return value.asInt64();
}

// The first line of a file that holds a secret.
std::string read_secret(const std::string& path, const std::string& where) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) fail(where, path + ": cannot be read");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

void read_tls(const Json::Value& tls, const std::string& folder, MqttConfig& mqtt) {
    const std::string where = "site: \"mqtt\" \"tls\"";
    if (tls.isNull()) return;
    if (!tls.isObject()) fail(where, "must be an object with \"ca_file\" and optionally \"cert_file\", \"key_file\"");
    mqtt.caFile = resolve_path(folder, read_text(tls, "ca_file", "", where));
    if (mqtt.caFile.empty()) fail(where, "\"ca_file\" is required");
    mqtt.certFile = resolve_path(folder, read_text(tls, "cert_file", "", where));
    mqtt.keyFile = resolve_path(folder, read_text(tls, "key_file", "", where));
    if (mqtt.certFile.empty() != mqtt.keyFile.empty()) fail(where, "\"cert_file\" and \"key_file\" go together");
}

MqttConfig parse_mqtt(const Json::Value& object, const std::string& folder) {
    const std::string where = "site: \"mqtt\"";
    MqttConfig mqtt;
    if (object.isNull()) return mqtt;
    if (!object.isObject()) fail(where, "must be an object with at least \"host\"");
    mqtt.host = read_text(object, "host", "", where);
    if (mqtt.host.empty()) fail(where, "\"host\" is required");
    mqtt.port = static_cast<int>(read_whole(object, "port", 1883, 1, 65535, where));
    mqtt.clientId = read_text(object, "client_id", "", where);
    mqtt.username = read_text(object, "username", "", where);
    const Json::Value& password = object["password"];
    if (!password.isNull() && !password.isString()) fail(where, "\"password\" must be a text");
    mqtt.password = password.asString();
    const std::string passwordFile = read_text(object, "password_file", "", where);
    if (!passwordFile.empty()) {
        if (!password.isNull()) fail(where, "give \"password\" or \"password_file\", not both");
        mqtt.password = read_secret(resolve_path(folder, passwordFile), where);
    }
    if (!mqtt.password.empty() && mqtt.username.empty()) fail(where, "a password needs a \"username\"");
    read_tls(object["tls"], folder, mqtt);
    mqtt.topicPrefix = read_text(object, "topic_prefix", mqtt.topicPrefix, where);
    if (mqtt.topicPrefix.find_first_of("+#") != std::string::npos)
        fail(where, "\"topic_prefix\" must not hold the wildcards + or #");
    const Json::Value& discovery = object["discovery_prefix"];
    if (discovery.isBool() && !discovery.asBool()) {
        mqtt.discoveryPrefix.clear();
    } else if (!discovery.isNull()) {
        mqtt.discoveryPrefix = read_text(object, "discovery_prefix", "", where);
        if (mqtt.discoveryPrefix.find_first_of("+#") != std::string::npos)
            fail(where, "\"discovery_prefix\" must not hold the wildcards + or #");
    }
    mqtt.qos = static_cast<int>(read_whole(object, "qos", 1, 0, 2, where));
    mqtt.queueLimit = static_cast<std::size_t>(read_whole(object, "queue_limit", 10000, 1, 10000000, where));
    return mqtt;
}

}  // namespace

std::string folder_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string resolve_path(const std::string& folder, const std::string& name) {
    if (folder.empty() || name.empty() || name.front() == '/') return name;
    return folder + (folder.back() == '/' ? "" : "/") + name;
}

Json::Value read_json_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error(path + ": cannot be read");
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    Json::Value root;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &root, &errors)) throw std::runtime_error(path + ": " + errors);
    return root;
}

SiteConfig parse_site(const Json::Value& root, const std::string& folder) {
    if (!root.isObject()) throw std::runtime_error("site: must be a JSON object");
    SiteConfig site;
    const Json::Value& db = root["db"];
    if (!db.isNull() && !db.isString()) throw std::runtime_error("site: \"db\" must be a file name");
    site.db = resolve_path(folder, db.asString());
    site.mqtt = parse_mqtt(root["mqtt"], folder);
    site.metricsFile = resolve_path(folder, read_text(root, "metrics_file", "", "site"));
    const Json::Value& systems = root["systems"];
    if (systems.isNull()) {
        site.systems.push_back(parse_system(root, folder, "site"));
    } else {
        if (!systems.isArray() || systems.empty())
            throw std::runtime_error("site: \"systems\" must be a non-empty array of power systems");
        for (Json::ArrayIndex i = 0; i < systems.size(); ++i)
            site.systems.push_back(parse_system(systems[i], folder, "systems[" + std::to_string(i) + "]"));
    }
    check_unique_ids(site);
    return site;
}

SiteConfig load_site_file(const std::string& path) {
    return parse_site(read_json_file(path), folder_of(path));
}

}  // namespace site
