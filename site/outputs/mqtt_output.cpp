#include "site/outputs/mqtt_output.h"

#include <algorithm>
#include <chrono>
#include <sstream>

#include "site/host/json_text.h"
#include "site/outputs/json_writer.h"

namespace site {
namespace {

constexpr std::chrono::milliseconds kCloseWait(2000);
const char kOnline[] = "online";
const char kOffline[] = "offline";

// Topic levels and discovery ids keep to letters, digits, '_' and '-'.
std::string id_text(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!plain) c = '_';
    }
    return out;
}

// A key as one topic level: no level separator, no wildcard.
std::string topic_level(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == '/' || c == '+' || c == '#') c = '_';
    return out;
}

const char* kind_title(const std::string& kind) {
    if (kind == "ac") return "AC distribution";
    if (kind == "dc") return "DC distribution";
    if (kind == "rc") return "rectifier group";
    return "power system";
}

std::string alarm_object(const AlarmState& alarm) {
    return "alarm_" + id_text(alarm.key) + (alarm.number >= 0 ? "_" + std::to_string(alarm.number) : std::string());
}

// A topic level that is a data id.
bool number_level(const std::string& text, unsigned& number) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    number = static_cast<unsigned>(std::stoull(text));
    return true;
}

// Reads "<number>_<number>" off the end of a node id that starts with `prefix` and '_'.
bool parse_node(const std::string& node, const std::string& prefix, unsigned& system, unsigned& unit) {
    if (node.size() <= prefix.size() + 1 || node.compare(0, prefix.size(), prefix) != 0 || node[prefix.size()] != '_')
        return false;
    const std::string rest = node.substr(prefix.size() + 1);
    const auto split = rest.find('_');
    return split != std::string::npos && number_level(rest.substr(0, split), system) &&
           number_level(rest.substr(split + 1), unit);
}

// The levels of a topic after `prefix` and '/'; none when it lies elsewhere.
std::vector<std::string> levels_under(const std::string& topic, const std::string& prefix) {
    std::vector<std::string> levels;
    if (topic.size() <= prefix.size() || topic.compare(0, prefix.size(), prefix) != 0 || topic[prefix.size()] != '/')
        return levels;
    std::istringstream in(topic.substr(prefix.size() + 1));
    for (std::string level; std::getline(in, level, '/');) levels.push_back(level);
    return levels;
}

// The power system, and the unit where it names one, of a topic the host writes.
struct Place {
    bool found = false;
    bool hasUnit = false;
    unsigned system = 0;
    unsigned unit = 0;
};

// <discovery prefix>/<component>/<node>/<object>/config, and under the topic prefix
// <system>/availability, <system>/<kind>/<unit>/state and <system>/<unit>/alarm/<key>[/<number>].
Place place_of(const std::string& topic, const MqttConfig& config, const std::string& nodePrefix) {
    Place place;
    if (!config.discoveryPrefix.empty()) {
        const std::vector<std::string> levels = levels_under(topic, config.discoveryPrefix);
        if (levels.size() == 4 && levels[3] == "config") {
            place.found = place.hasUnit = parse_node(levels[1], nodePrefix, place.system, place.unit);
            return place;
        }
    }
    const std::vector<std::string> levels = levels_under(topic, config.topicPrefix);
    if (levels.size() == 2 && levels[1] == "availability") {
        place.found = number_level(levels[0], place.system);
    } else if (levels.size() == 4 && levels[3] == "state") {
        place.found = place.hasUnit = number_level(levels[0], place.system) && number_level(levels[2], place.unit);
    } else if (levels.size() >= 4 && levels[2] == "alarm") {
        place.found = place.hasUnit = number_level(levels[0], place.system) && number_level(levels[1], place.unit);
    }
    return place;
}

// {"systems":[1,2]}: the systems a client published; nothing from a payload it cannot read.
std::vector<unsigned> systems_listed(const std::string& payload) {
    Json::Value root;
    std::istringstream in(payload);
    std::vector<unsigned> systems;
    if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &root, nullptr) || !root.isObject()) return systems;
    for (const Json::Value& system : root["systems"])
        if (system.isUInt()) systems.push_back(system.asUInt());
    return systems;
}

}  // namespace

MqttOutput::MqttOutput(MqttConfig config, std::vector<SystemUnits> site, Report report)
    : config_(std::move(config)), site_(std::move(site)), writer_(make_line_writer()) {
    if (config_.clientId.empty()) config_.clientId = default_mqtt_client_id();
    nodePrefix_ = id_text(config_.topicPrefix);
    // One last will per connection: a site of one system wills its availability directly;
    // with several, the host's own availability goes offline and every config names it too.
    const std::string hostLevels = config_.topicPrefix + "/host/" + topic_level(config_.clientId);
    if (site_.size() > 1) hostTopic_ = hostLevels + "/availability";
    systemsTopic_ = hostLevels + "/systems";
    for (const SystemUnits& system : site_) retained_[availability_topic(system.system)] = kOffline;
    if (!hostTopic_.empty()) retained_[hostTopic_] = kOnline;

    MqttClient::Options options;
    options.config = config_;
    options.will =
        MqttMessage{hostTopic_.empty() ? availability_topic(site_.front().system) : hostTopic_, kOffline, true};
    // The systems published before come first: the topics after them are judged by them.
    options.subscribe = {systemsTopic_, config_.topicPrefix + "/+/availability", config_.topicPrefix + "/+/+/+/state",
                         config_.topicPrefix + "/+/+/alarm/#"};
    if (!config_.discoveryPrefix.empty()) {
        options.subscribe.push_back(config_.discoveryPrefix + "/sensor/+/+/config");
        options.subscribe.push_back(config_.discoveryPrefix + "/binary_sensor/+/+/config");
    }
    options.marker = hostLevels + "/read";
    options.onRetainedRead = [this] { retained_read(); };
    options.onConnected = [this] { republish(); };
    options.onMessage = [this](const MqttMessage& message) { on_message(message); };
    options.report = std::move(report);
    client_ = std::make_unique<MqttClient>(std::move(options));
}

MqttOutput::~MqttOutput() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const SystemUnits& system : site_) retain(availability_topic(system.system), kOffline);
        if (!hostTopic_.empty()) retain(hostTopic_, kOffline);
        closing_ = true;  // libmosquitto's callbacks leave the client alone from now on
    }
    client_->send();
    client_->flush(kCloseWait);
    client_.reset();
}

std::string MqttOutput::state_topic(const UnitState& unit) const {
    return config_.topicPrefix + "/" + std::to_string(unit.system) + "/" + unit.kind + "/" + std::to_string(unit.unit) +
           "/state";
}

std::string MqttOutput::alarm_topic(const AlarmState& alarm) const {
    std::string topic = config_.topicPrefix + "/" + std::to_string(alarm.system) + "/" + std::to_string(alarm.unit) +
                        "/alarm/" + topic_level(alarm.key);
    return alarm.number >= 0 ? topic + "/" + std::to_string(alarm.number) : topic;
}

std::string MqttOutput::availability_topic(unsigned system) const {
    return config_.topicPrefix + "/" + std::to_string(system) + "/availability";
}

std::string MqttOutput::node_id(unsigned system, unsigned unit) const {
    return nodePrefix_ + "_" + std::to_string(system) + "_" + std::to_string(unit);
}

std::string MqttOutput::config_topic(const char* component, unsigned system, unsigned unit,
                                     const std::string& object) const {
    return config_.discoveryPrefix + "/" + component + "/" + node_id(system, unit) + "/" + object + "/config";
}

std::string MqttOutput::text(const Json::Value& value) const {
    std::ostringstream out;
    writer_->write(value, &out);
    return out.str();
}

// Every config carries the whole device block; units hang off their power system.
Json::Value MqttOutput::device_json(unsigned system, unsigned unit, const std::string& kind) const {
    Json::Value device;
    device["identifiers"].append(node_id(system, unit));
    device["name"] = "KTR-40 " + std::to_string(system) + " " + kind_title(kind) + " " + std::to_string(unit);
    device["model"] = std::string("KTR-40 ") + kind_title(kind);
    device["manufacturer"] = "KTR";
    if (unit != system) device["via_device"] = node_id(system, system);
    return device;
}

Json::Value MqttOutput::availability_json(unsigned system) const {
    Json::Value list(Json::arrayValue);
    list.append(Json::Value(Json::objectValue))["topic"] = availability_topic(system);
    if (!hostTopic_.empty()) list.append(Json::Value(Json::objectValue))["topic"] = hostTopic_;
    return list;
}

std::string MqttOutput::value_config(const UnitState& unit, const UnitValue& value) const {
    const std::string id = node_id(unit.system, unit.unit) + "_" + id_text(value.path);
    Json::Value config;
    config["name"] = value_title(value);
    config["unique_id"] = id;
    config["default_entity_id"] = "sensor." + id;
    config["state_topic"] = state_topic(unit);
    config["value_template"] =
        "{{ " + state_template_path(value) + " if value_json.provided['" + value.path + "'] else None }}";
    if (*value.deviceClass != '\0') config["device_class"] = value.deviceClass;
    if (*value.unit != '\0') config["unit_of_measurement"] = value.unit;
    if (value.precision >= 0) config["suggested_display_precision"] = value.precision;
    if (value.setting()) {
        config["entity_category"] = "diagnostic";
    } else {
        config["state_class"] = "measurement";
    }
    config["availability"] = availability_json(unit.system);
    config["availability_mode"] = "all";
    config["device"] = device_json(unit.system, unit.unit, unit.kind);
    return text(config);
}

std::string MqttOutput::alarm_config(const AlarmState& alarm, const std::string& kind) const {
    const std::string id = node_id(alarm.system, alarm.unit) + "_" + alarm_object(alarm);
    Json::Value config;
    config["name"] = alarm.text.empty() || alarm.text == alarm.name ? alarm.name : alarm.name + " " + alarm.text;
    config["unique_id"] = id;
    config["default_entity_id"] = "binary_sensor." + id;
    config["state_topic"] = alarm_topic(alarm);
    config["json_attributes_topic"] = alarm_topic(alarm);
    config["value_template"] = "{{ 'ON' if value_json.active else 'OFF' }}";
    config["device_class"] = "problem";
    config["availability"] = availability_json(alarm.system);
    config["availability_mode"] = "all";
    config["device"] = device_json(alarm.system, alarm.unit, kind);
    return text(config);
}

// Members in name order, as they always went out.
std::string MqttOutput::state_message(const UnitState& unit) {
    std::string message;
    message.reserve(2048);
    JsonWriter json(message);
    json.begin_object();
    const std::vector<UnitValue>& values = unit.values();
    if (std::any_of(values.begin(), values.end(), [](const UnitValue& v) { return v.derived; })) {
        json.key("derived").begin_object();
        for (const UnitValue& value : values)
            if (value.derived) json.key(value.path).value(value.value);
        json.end_object();
    }
    json.key("fields").value(unit.fields()).key("kind").value(unit.kind).key("provided").begin_object();
    for (const UnitValue& value : unit.values()) json.key(value.path).value(value.provided);
    json.end_object().key("round").value(unit.round).key("system").value(unit.system).key("time").value(unit.time);
    json.key("unit").value(unit.unit).end_object();
    return message;
}

std::string MqttOutput::alarm_message(const AlarmState& alarm) {
    std::string message;
    JsonWriter json(message);
    json.begin_object().key("active").value(alarm.active()).key("changed").value(alarm.changed);
    json.key("code").value(alarm.code);
    json.key("key").value(alarm.key).key("level").value(alarm.level).key("name").value(alarm.name);
    if (alarm.number >= 0) json.key("number").value(alarm.number);
    if (alarm.multiState) json.key("state").value(unsigned{alarm.state});
    json.key("system").value(alarm.system).key("text").value(alarm.text).key("unit").value(alarm.unit).end_object();
    return message;
}

void MqttOutput::publish_unit(const UnitState& unit) {
    if (!unit.ok) return;
    std::string message = state_message(unit);
    std::lock_guard<std::mutex> lock(mutex_);
    kinds_[{unit.system, unit.unit}] = unit.kind;
    if (!config_.discoveryPrefix.empty()) announce(unit);
    retain(state_topic(unit), std::move(message));
}

// Configs for the unit's values; a value the unit no longer has loses its config.
// Compared in place: every round of every unit comes by here, and the values seldom change.
void MqttOutput::announce(const UnitState& unit) {
    const std::vector<UnitValue>& values = unit.values();
    std::vector<std::string>& before = announced_[unit.unit];
    const auto same_path = [](const std::string& path, const UnitValue& value) { return path == value.path; };
    if (std::equal(before.begin(), before.end(), values.begin(), values.end(), same_path)) return;
    std::vector<std::string> paths;
    paths.reserve(values.size());
    for (const UnitValue& value : values) paths.push_back(value.path);
    for (const std::string& path : before)
        if (std::find(paths.begin(), paths.end(), path) == paths.end())
            remove(config_topic("sensor", unit.system, unit.unit, id_text(path)));
    for (const UnitValue& value : values)
        retain(config_topic("sensor", unit.system, unit.unit, id_text(value.path)), value_config(unit, value),
               MqttClient::Kind::Kept);
    before = std::move(paths);
}

void MqttOutput::publish_alarm(const AlarmState& alarm) {
    std::string message = alarm_message(alarm);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!config_.discoveryPrefix.empty())
        retain(config_topic("binary_sensor", alarm.system, alarm.unit, alarm_object(alarm)),
               alarm_config(alarm, kinds_[{alarm.system, alarm.unit}]), MqttClient::Kind::Kept);
    retain(alarm_topic(alarm), std::move(message));
}

void MqttOutput::remove_alarm(const AlarmState& alarm) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!config_.discoveryPrefix.empty())
        remove(config_topic("binary_sensor", alarm.system, alarm.unit, alarm_object(alarm)));
    remove(alarm_topic(alarm));
}

void MqttOutput::end_round(unsigned system) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = seen_.begin(); it != seen_.end();) {
            if (!ours(system, it->first) || kinds_.count({system, it->first}) == 0) {
                ++it;
                continue;
            }
            for (const std::string& topic : it->second)
                if (retained_.count(topic) == 0) remove(topic);
            it = seen_.erase(it);
        }
    }
    client_->send();
}

void MqttOutput::set_available(unsigned system, bool online) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        retain(availability_topic(system), online ? kOnline : kOffline);
    }
    client_->send();
}

void MqttOutput::retain(const std::string& topic, std::string payload, MqttClient::Kind kind) {
    auto [it, added] = retained_.try_emplace(topic);
    if (!added && it->second == payload) return;
    it->second = payload;
    client_->publish(MqttMessage{topic, std::move(payload), true}, kind);
}

// An empty retained message removes the broker's retained one.
void MqttOutput::remove(const std::string& topic) {
    retained_.erase(topic);
    client_->publish(MqttMessage{topic, std::string(), true}, MqttClient::Kind::Kept);
}

void MqttOutput::republish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return;
    std::vector<MqttMessage> all;
    all.reserve(retained_.size());
    for (const auto& [topic, payload] : retained_) all.push_back(MqttMessage{topic, payload, true});
    client_->replace_kept(std::move(all));
}

bool MqttOutput::in_site(unsigned system) const {
    return std::any_of(site_.begin(), site_.end(), [system](const SystemUnits& s) { return s.system == system; });
}

bool MqttOutput::ours(unsigned system, unsigned unit) const {
    for (const SystemUnits& s : site_)
        if (s.system == system) return std::find(s.units.begin(), s.units.end(), unit) != s.units.end();
    return false;
}

// A message the broker retains under the host's prefixes (its own messages coming back live
// are no news).
void MqttOutput::on_message(const MqttMessage& message) {
    if (!message.retain) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) return;
        if (message.topic == systemsTopic_) {
            published_ = systems_listed(message.payload);
            return;
        }
        if (message.payload.empty() || retained_.count(message.topic) != 0) return;
        judge(message.topic);
    }
    client_->send();
}

// A retained topic not published in this run: one of a unit or system gone from the site is
// removed at once; one of a unit still there once that unit has published (end_round). A
// system neither in the site nor published before by this client is another host's.
void MqttOutput::judge(const std::string& topic) {
    const Place place = place_of(topic, config_, nodePrefix_);
    if (!place.found) return;
    if (in_site(place.system)) {
        if (!place.hasUnit) return;
        if (ours(place.system, place.unit)) {
            seen_[place.unit].push_back(topic);
            return;
        }
    } else if (std::find(published_.begin(), published_.end(), place.system) == published_.end()) {
        return;
    }
    remove(topic);
}

// What the broker held has been judged: from now on it lists this site's systems as this
// client's.
void MqttOutput::retained_read() {
    std::string list;
    JsonWriter json(list);
    json.begin_object().key("systems").begin_array();
    for (const SystemUnits& system : site_) json.value(system.system);
    json.end_array().end_object();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) return;
        retain(systemsTopic_, std::move(list), MqttClient::Kind::Kept);
    }
    client_->send();
}

}  // namespace site
