#include "site/run/site_config.h"

#include <cstdint>
#include <fstream>
#include <set>
#include <stdexcept>

#include "site/run/site_keys.h"
#include "site/run/usage_error.h"

namespace site {
namespace {

// Values of a site file that check_site_keys() has passed.
double seconds_or(const Json::Value& value, double fallback) { return value.isNull() ? fallback : value.asDouble(); }

// Every unit keeps its history under its data id: two units with one id would mix them.
void check_unique_ids(const Json::Value& root, const std::string& source) {
    std::set<unsigned> seen;
    auto claim = [&](const Json::Value& id, const std::string& at) {
        if (!seen.insert(id.asUInt()).second)
            throw UsageError(source + ": " + at + ": data id " + std::to_string(id.asUInt()) + " is used twice in the site");
    };
    const bool listed = root.isMember("systems");
    Json::Value systems = listed ? root["systems"] : Json::Value(Json::arrayValue);
    if (!listed) systems.append(root);
    for (Json::ArrayIndex s = 0; s < systems.size(); ++s) {
        const std::string at = listed ? "systems[" + std::to_string(s) + "]." : "";
        claim(systems[s]["data_id"], at + "data_id");
        for (const char* key : {"acSetting", "dcSetting"}) {
            const Json::Value& units = systems[s][key];
            for (Json::ArrayIndex i = 0; i < units.size(); ++i)
                claim(units[i]["data_id"], at + key + "[" + std::to_string(i) + "].data_id");
        }
    }
}

line::Parity parity_of(const Json::Value& value) {
    if (value == "even") return line::Parity::Even;
    if (value == "odd") return line::Parity::Odd;
    return line::Parity::None;
}

EchoMode echo_of(const Json::Value& value) {
    if (!value.isBool()) return EchoMode::Auto;
    return value.asBool() ? EchoMode::Required : EchoMode::Off;
}

Json::Value read_simulator(const Json::Value& value, const std::string& folder) {
    if (value.isString()) return read_json_file(resolve_path(folder, value.asString()));
    return value;
}

SystemConfig parse_system(const Json::Value& object, const std::string& folder) {
    SystemConfig system;
    system.settings = object;
    system.dataId = object["data_id"].asUInt();
    system.port = object["port"].asString();
    system.baud = object.get("baud", system.baud).asInt();
    system.format.parity = parity_of(object["parity"]);
    system.format.stopBits = object.get("stop_bits", system.format.stopBits).asInt();
    system.echo = echo_of(object["echo"]);
    system.settle = std::chrono::milliseconds(object.get("settle_ms", Json::Int64(system.settle.count())).asInt64());
    system.giveUp = seconds_or(object["give_up_s"], system.giveUp);
    system.pollInterval = seconds_or(object["poll_interval"], system.pollInterval);
    system.minRoundGap = seconds_or(object["min_round_gap"], system.minRoundGap);
    system.trustDataflag = object["trust_dataflag"].asBool();
    if (object.isMember("reply_timeout_ms")) system.replyTimeout = std::chrono::milliseconds(object["reply_timeout_ms"].asInt());
    system.replyTimeoutAdaptive = object.get("reply_timeout_adaptive", system.replyTimeoutAdaptive).asBool();
    system.simulator = read_simulator(object["simulator"], folder);
    return system;
}

// jsoncpp's "* Line 3, Column 5\n  Duplicate key: 'baud'\n" as "line 3, column 5: duplicate key: 'baud'".
std::string parser_errors(const std::string& errors) {
    std::string text;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (errors.compare(i, 2, "* ") == 0) {
            text += text.empty() ? "" : "; ";
            ++i;
        } else if (errors.compare(i, 3, "\n  ") == 0) {
            text += ": ";
            i += 2;
        } else if (errors[i] != '\n') {
            text += errors[i];
        }
    }
    return text;
}

// What the key table cannot check alone: keys that go together.
void check_mqtt_pairs(const Json::Value& object, const std::string& at) {
    if (object.isMember("password") && object.isMember("password_file"))
        throw UsageError(at + ": give \"password\" or \"password_file\", not both");
    const Json::Value& tls = object["tls"];
    if (tls.isMember("cert_file") != tls.isMember("key_file"))
        throw UsageError(at + ".tls: \"cert_file\" and \"key_file\" go together");
}

// The first line of a file that holds a secret.
std::string read_secret(const std::string& path, const std::string& at) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) throw UsageError(at + ".password_file: " + path + ": cannot be read");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string file_or_empty(const std::string& folder, const Json::Value& name) {
    return name.isNull() ? std::string() : resolve_path(folder, name.asString());
}

MqttConfig parse_mqtt(const Json::Value& object, const std::string& folder, const std::string& source) {
    MqttConfig mqtt;
    if (object.isNull()) return mqtt;
    const std::string at = source + ": mqtt";
    check_mqtt_pairs(object, at);
    mqtt.host = object["host"].asString();
    mqtt.port = object.get("port", mqtt.port).asInt();
    mqtt.clientId = object["client_id"].asString();
    mqtt.username = object["username"].asString();
    mqtt.password = object.isMember("password_file")
                        ? read_secret(resolve_path(folder, object["password_file"].asString()), at)
                        : object["password"].asString();
    if (!mqtt.password.empty() && mqtt.username.empty()) throw UsageError(at + ": a password needs a \"username\"");
    const Json::Value& tls = object["tls"];
    mqtt.caFile = file_or_empty(folder, tls["ca_file"]);
    mqtt.certFile = file_or_empty(folder, tls["cert_file"]);
    mqtt.keyFile = file_or_empty(folder, tls["key_file"]);
    mqtt.topicPrefix = object.get("topic_prefix", mqtt.topicPrefix).asString();
    const Json::Value& discovery = object["discovery_prefix"];
    if (!discovery.isNull()) mqtt.discoveryPrefix = discovery.isBool() ? std::string() : discovery.asString();
    mqtt.qos = object.get("qos", mqtt.qos).asInt();
    mqtt.queueLimit = static_cast<std::size_t>(object.get("queue_limit", Json::UInt64(mqtt.queueLimit)).asUInt64());
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
    if (!in) throw UsageError(path + ": cannot be read");
    Json::CharReaderBuilder builder;
    // No comments, no trailing garbage, no key given twice.
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    Json::Value root;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &root, &errors)) throw UsageError(path + ": " + parser_errors(errors));
    return root;
}

SiteConfig parse_site(const Json::Value& root, const std::string& folder, const std::string& source) {
    check_site_keys(root, source);
    check_unique_ids(root, source);
    SiteConfig site;
    site.db = resolve_path(folder, root["db"].asString());
    site.historyKeepDays = root.get("history_keep_days", site.historyKeepDays).asUInt();
    site.mqtt = parse_mqtt(root["mqtt"], folder, source);
    site.metricsFile = file_or_empty(folder, root["metrics_file"]);
    if (!root.isMember("systems")) {
        site.systems.push_back(parse_system(root, folder));
    } else {
        for (const Json::Value& system : root["systems"]) site.systems.push_back(parse_system(system, folder));
    }
    return site;
}

SiteConfig load_site_file(const std::string& path) {
    return parse_site(read_json_file(path), folder_of(path), path);
}

}  // namespace site
