#pragma once
#include <string>
#include <vector>

#include "host/json.h"

namespace site {

// One engineering value of a published image, as MQTT and the metrics file show it.
struct UnitValue {
    std::string path;   // the history listing's name: "ia", "channels.0.a", "m_value.2"
    std::string field;  // the path without its position: "ia", "channels.a", "m_value"
    int index = -1;     // input channel, module or array position; -1 for a single value
    double value = 0;
    // False when the device sent its "no value" marker (or no number at all).
    bool provided = false;
    const char* unit = "";         // "V", "A", "Hz" or "" for the device's own parameters
    const char* deviceClass = "";  // "voltage", "current", "frequency" or ""
};

// The analog values of the decoded `fields` of a record (see decode_image), in image order.
// Arrays are cut to the count the device reported; status and alarm bytes are left out.
std::vector<UnitValue> unit_values(int record, const Json::Value& fields);

// A history path as a Home Assistant template expression on the state message:
// "channels.0.a" -> "value_json.fields.channels[0].a".
std::string state_template_path(const std::string& path);

}  // namespace site
