#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "host/json.h"

namespace site {

// The metrics file's families of unit values: one per quantity and unit, the device's own
// parameters apart.
enum class ValueMetric : std::uint8_t {
    AcInputVolts,
    AcInputHertz,
    AcPhaseAmperes,
    DcVolts,
    DcLoadAmperes,
    DcLoadWatts,
    BatteryAmperes,
    BranchAmperes,
    RectifierVolts,
    RectifierAmperes,
    Setting,
};
constexpr std::size_t kValueMetricCount = static_cast<std::size_t>(ValueMetric::Setting) + 1;

struct ValueMetricInfo {
    const char* name;  // without the "ktr40e_" prefix
    const char* help;
};
const ValueMetricInfo& value_metric(ValueMetric metric);

// One engineering value of a published image, as MQTT and the metrics file show it.
struct UnitValue {
    std::string path;   // the history listing's name: "ia", "channels.0.a", "m_value.2"; "power" is derived
    std::string field;  // the path without its position: "ia", "channels.a", "m_value"
    int index = -1;     // input channel, module or array position; -1 for a single value
    int element = -1;   // the input channel or module it belongs to; -1 for the unit's own
    int position = -1;  // its position in an array; -1 for a single value
    double value = 0;
    // False when the device sent its "no value" marker (or no number at all).
    bool provided = false;
    bool derived = false;           // computed from other values, not a field of the image
    const char* unit = "";          // "V", "A", "Hz", "W" or "" for the device's own parameters
    const char* deviceClass = "";   // "voltage", "current", "frequency", "power" or ""
    int precision = 0;              // decimals worth showing
    const char* titlePattern = "";  // see value_title
    ValueMetric metric = ValueMetric::Setting;
    const char* itemLabel = "";  // the metric label numbering `index` from 1: "input", "battery", ...
    const char* phase = "";      // AC values: "A", "B" or "C"
    bool setting() const { return metric == ValueMetric::Setting; }
};

// The analog values of the decoded `fields` of a record (see decode_image), in image order,
// then the values derived from them (a DC unit's load power).
// Arrays are cut to the count the device reported; status and alarm bytes are left out.
std::vector<UnitValue> unit_values(int record, const Json::Value& fields);

// The value's name for people: "battery 1 current", "input 2 phase A voltage". Made only where
// shown (discovery configs), not every round.
std::string value_title(const UnitValue& value);

// A value as a Home Assistant template expression on the state message:
// "channels.0.a" -> "value_json.fields.channels[0].a", a derived "power" -> "value_json.derived.power".
std::string state_template_path(const UnitValue& value);

}  // namespace site
