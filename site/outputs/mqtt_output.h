#pragma once
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "site/trace/console.h"
#include "site/outputs/mqtt_client.h"
#include "site/outputs/output_model.h"
#include "site/config/site_config.h"

namespace site {

// The units of one power system as the site file names them (the system's own id included).
struct SystemUnits {
    unsigned system = 0;
    std::vector<unsigned> units;
};

// Publishes the site over MQTT: one retained state message per unit and round, one retained
// message per alarm when it changes, each system's availability, and Home Assistant
// discovery configs. Everything retained is also kept here and sent again after each new
// connection, so that a broker that lost its retained messages gets them back.
//
// After each connection it reads once what the broker retains under its prefixes and empties
// what is left of earlier runs: every topic of a unit or a power system no longer in the site
// file, and, once a unit has published, the topics of that unit it no longer has. A system is
// judged only when it is in the site or in the list of systems this client last published
// (`<prefix>/host/<client id>/systems`, written once that reading is done): other hosts may
// share the broker and the prefixes.
class MqttOutput {
public:
    using Report = std::function<void(Level, const std::string&)>;
    // Starts connecting (see MqttClient).
    MqttOutput(MqttConfig config, std::vector<SystemUnits> site, Report report);
    // Marks every system offline and gives the queue a moment to go out.
    ~MqttOutput();
    MqttOutput(const MqttOutput&) = delete;
    MqttOutput& operator=(const MqttOutput&) = delete;

    // A round's messages are queued; end_round() sends them.
    void publish_unit(const UnitState& unit);
    void publish_alarm(const AlarmState& alarm);
    // An alarm no longer checked: its discovery config and its retained state are emptied.
    void remove_alarm(const AlarmState& alarm);

    // The retained messages of a unit's state and of an alarm.
    static std::string state_message(const UnitState& unit);
    static std::string alarm_message(const AlarmState& alarm);
    // After a round's units and alarms: retained topics of this system's units that the broker
    // still holds from earlier runs and that no longer belong to them are removed.
    void end_round(unsigned system);
    void set_available(unsigned system, bool online);

    std::uint64_t dropped() const { return client_->dropped(); }
    bool connected() const { return client_->connected(); }

    std::string state_topic(const UnitState& unit) const;
    std::string alarm_topic(const AlarmState& alarm) const;
    std::string availability_topic(unsigned system) const;

private:
    std::string node_id(unsigned system, unsigned unit) const;
    std::string config_topic(const char* component, unsigned system, unsigned unit, const std::string& object) const;
    Json::Value device_json(unsigned system, unsigned unit, const std::string& kind) const;
    Json::Value availability_json(unsigned system) const;
    std::string value_config(const UnitState& unit, const UnitValue& value) const;
    std::string alarm_config(const AlarmState& alarm, const std::string& kind) const;
    void announce(const UnitState& unit);
    // Publishes a retained message unless the broker has been given the same one already.
    // Discovery configs are kept: they change only with the site, and a dropped one would
    // leave a value out of Home Assistant until the next connection.
    void retain(const std::string& topic, std::string payload, MqttClient::Kind kind = MqttClient::Kind::Bounded);
    void remove(const std::string& topic);
    void republish();
    void on_message(const MqttMessage& message);
    void judge(const std::string& topic);
    void retained_read();
    bool in_site(unsigned system) const;
    bool ours(unsigned system, unsigned unit) const;
    std::string text(const Json::Value& value) const;

    MqttConfig config_;
    std::vector<SystemUnits> site_;
    std::string nodePrefix_;
    std::string hostTopic_;     // sites with several systems: the host's own availability (the last will)
    std::string systemsTopic_;  // the systems this client publishes
    std::unique_ptr<Json::StreamWriter> writer_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> retained_;                 // topic -> payload, everything retained so far
    std::map<unsigned, std::vector<std::string>> announced_;      // unit -> value paths with a config
    std::map<std::pair<unsigned, unsigned>, std::string> kinds_;  // (system, unit) -> "ac", "dc", "rc"
    std::map<unsigned, std::vector<std::string>> seen_;           // unit -> topics found on the broker
    std::vector<unsigned> published_;  // the systems this client published before, as the broker kept them
    bool closing_ = false;
    std::unique_ptr<MqttClient> client_;
};

}  // namespace site
