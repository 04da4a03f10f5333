#include "site/round/unit_values.h"

#include <algorithm>
#include <iterator>

#include "site/host/image_layouts.h"

namespace site {
namespace {

enum class Quantity { Voltage, Current, Frequency, Power, Parameter };

// How the device marks a value it did not provide, besides sending no number at all. A voltage
// or frequency of 0 is a reading: an unused input and a lost mains both show 0.
enum class Missing { Never, MinusTenth };

struct ValueRule {
    const char* name;
    Quantity quantity;
    Missing missing;
    const char* countField;  // arrays: the field holding how many items the device sent
    ValueMetric metric;
    const char* itemLabel;  // the metric label numbering the input, battery, branch or module
    const char* phase;
    // For people: '@' stands for the input or module number, '#' for the array position, from 1
    // (left out with its space where the value is no array item).
    const char* title;
};

using M = ValueMetric;
constexpr ValueRule kAcUnitValues[] = {
    {"ia", Quantity::Current, Missing::MinusTenth, nullptr, M::AcPhaseAmperes, "", "A", "phase A current"},
    {"ib", Quantity::Current, Missing::MinusTenth, nullptr, M::AcPhaseAmperes, "", "B", "phase B current"},
    {"ic", Quantity::Current, Missing::MinusTenth, nullptr, M::AcPhaseAmperes, "", "C", "phase C current"},
};
constexpr ValueRule kAcChannelValues[] = {
    {"a", Quantity::Voltage, Missing::Never, nullptr, M::AcInputVolts, "input", "A", "input @ phase A voltage"},
    {"b", Quantity::Voltage, Missing::Never, nullptr, M::AcInputVolts, "input", "B", "input @ phase B voltage"},
    {"c", Quantity::Voltage, Missing::Never, nullptr, M::AcInputVolts, "input", "C", "input @ phase C voltage"},
    {"f", Quantity::Frequency, Missing::Never, nullptr, M::AcInputHertz, "input", "", "input @ frequency"},
};
constexpr ValueRule kDcValues[] = {
    {"voltage", Quantity::Voltage, Missing::Never, nullptr, M::DcVolts, "", "", "DC voltage"},
    {"current", Quantity::Current, Missing::Never, nullptr, M::DcLoadAmperes, "", "", "load current"},
    {"m_value", Quantity::Current, Missing::Never, "dc_m", M::BatteryAmperes, "battery", "", "battery # current"},
    {"n_value", Quantity::Current, Missing::Never, "dc_n", M::BranchAmperes, "branch", "", "branch # current"},
    {"user_p", Quantity::Parameter, Missing::MinusTenth, "p_count", M::Setting, "", "", "user parameter #"},
};
constexpr ValueRule kRcGroupValues[] = {
    {"ac_param", Quantity::Parameter, Missing::Never, nullptr, M::Setting, "", "", "AC parameter #"},
    {"dc_param", Quantity::Parameter, Missing::Never, nullptr, M::Setting, "", "", "DC parameter #"},
    {"p42_46_value", Quantity::Parameter, Missing::Never, "p42_46", M::Setting, "", "", "group parameter #"},
    {"output_voltage", Quantity::Voltage, Missing::Never, nullptr, M::RectifierVolts, "", "", "output voltage"},
};
constexpr ValueRule kRcModuleValues[] = {
    {"output_current", Quantity::Current, Missing::Never, nullptr, M::RectifierAmperes, "module", "",
     "module @ output current"},
    {"p41_41_value", Quantity::Parameter, Missing::Never, "p41_41", M::Setting, "", "", "module @ parameter #"},
};
constexpr ValueRule kDcLoadPower{"power", Quantity::Power, Missing::Never, nullptr, M::DcLoadWatts, "",
                                 "",      "load power"};

constexpr ValueMetricInfo kValueMetrics[kValueMetricCount] = {
    {"ac_input_volts", "AC input voltage of the last complete round, by input and phase."},
    {"ac_input_hertz", "AC input frequency of the last complete round, by input."},
    {"ac_phase_amperes", "AC phase current of the last complete round."},
    {"dc_volts", "DC bus voltage of the last complete round."},
    {"dc_load_amperes", "DC load current of the last complete round."},
    {"dc_load_watts", "DC load power of the last complete round: voltage times load current."},
    {"battery_amperes", "Battery current of the last complete round, by battery."},
    {"branch_amperes", "Branch current of the last complete round, by branch."},
    {"rectifier_output_volts", "Rectifier group output voltage of the last complete round."},
    {"rectifier_amperes", "Rectifier module output current of the last complete round, by module."},
    {"setting", "A device parameter as the device sent it, by its history name."},
};

struct RuleList {
    const ValueRule* rules;
    std::size_t count;
};

template <std::size_t N>
constexpr RuleList rules_of(const ValueRule (&rules)[N]) {
    return RuleList{rules, N};
}

bool provided(const Json::Value& item, Missing missing) {
    if (!item.isNumeric()) return false;  // NaN and infinities decode to null
    return missing == Missing::Never || static_cast<float>(item.asDouble()) != -0.1f;
}

// How a quantity is shown: its unit, its Home Assistant device class and the decimals worth
// showing (-1: the device's own parameters, shown as sent). In the order of Quantity.
struct QuantityLooks {
    const char* unit;
    const char* deviceClass;
    int precision;
};
constexpr QuantityLooks kLooks[] = {
    {"V", "voltage", 1}, {"A", "current", 1}, {"Hz", "frequency", 2}, {"W", "power", 0}, {"", "", -1}};
static_assert(std::size(kLooks) == static_cast<std::size_t>(Quantity::Parameter) + 1, "one row per quantity");

void describe(UnitValue& value, Quantity quantity) {
    const QuantityLooks& looks = kLooks[static_cast<std::size_t>(quantity)];
    value.unit = looks.unit;
    value.deviceClass = looks.deviceClass;
    value.precision = looks.precision;
}

UnitValue& add_value(std::vector<UnitValue>& out, const ValueRule& rule, const Json::Value& item,
                     const std::string& path, const std::string& field, int element, int position) {
    UnitValue& value = out.emplace_back();
    value.path = path;
    value.field = field;
    value.titlePattern = rule.title;
    value.element = element;
    value.position = position;
    value.index = position >= 0 ? position : element;
    value.provided = provided(item, rule.missing);
    value.value = item.isNumeric() ? item.asDouble() : 0.0;
    value.metric = rule.metric;
    value.itemLabel = rule.itemLabel;
    value.phase = rule.phase;
    describe(value, rule.quantity);
    return value;
}

// The values of a head (no `element`) or of element `position` of the list named `element`.
void add_values(std::vector<UnitValue>& out, const RuleList& list, const Json::Value& fields,
                const std::string& element = std::string(), int position = -1) {
    const std::string prefix = element.empty() ? std::string() : element + "." + std::to_string(position) + ".";
    const std::string fieldPrefix = element.empty() ? std::string() : element + ".";
    for (std::size_t r = 0; r < list.count; ++r) {
        const ValueRule& rule = list.rules[r];
        const Json::Value& item = fields[rule.name];
        if (!item.isArray()) {
            add_value(out, rule, item, prefix + rule.name, fieldPrefix + rule.name, position, -1);
            continue;
        }
        Json::ArrayIndex count = item.size();
        if (rule.countField != nullptr) count = std::min(count, fields[rule.countField].asUInt());
        for (Json::ArrayIndex i = 0; i < count; ++i)
            add_value(out, rule, item[i], prefix + rule.name + "." + std::to_string(i), fieldPrefix + rule.name,
                      position, static_cast<int>(i));
    }
}

void add_elements(std::vector<UnitValue>& out, const RuleList& list, const Json::Value& elements, const char* name) {
    for (Json::ArrayIndex i = 0; i < elements.size(); ++i)
        add_values(out, list, elements[i], name, static_cast<int>(i));
}

// Bus voltage times load current, the W that an energy dashboard sums up. The DC rules put
// the voltage first and the load current second.
void add_load_power(std::vector<UnitValue>& out) {
    const bool provided = out[0].provided && out[1].provided;
    const double watts = provided ? out[0].value * out[1].value : 0.0;
    UnitValue& power = add_value(out, kDcLoadPower, Json::Value(), "power", "power", -1, -1);
    power.derived = true;
    power.provided = provided;
    power.value = watts;
}

}  // namespace

std::vector<UnitValue> unit_values(int record, const Json::Value& fields) {
    std::vector<UnitValue> values;
    switch (record) {
        case kAcRecord:
            add_values(values, rules_of(kAcUnitValues), fields);
            add_elements(values, rules_of(kAcChannelValues), fields["channels"], "channels");
            break;
        case kDcRecord:
            add_values(values, rules_of(kDcValues), fields);
            add_load_power(values);
            break;
        case kRcRecord:
            add_values(values, rules_of(kRcGroupValues), fields);
            add_elements(values, rules_of(kRcModuleValues), fields["modules"], "modules");
            break;
        default: break;
    }
    return values;
}

std::string value_title(const UnitValue& value) {
    std::string out;
    for (const char* c = value.titlePattern; *c != '\0'; ++c) {
        if (*c == '@') {
            out += std::to_string(value.element + 1);
        } else if (*c != '#') {
            out += *c;
        } else if (value.position >= 0) {
            out += std::to_string(value.position + 1);
        } else if (!out.empty() && out.back() == ' ') {
            out.pop_back();
        }
    }
    return out;
}

const ValueMetricInfo& value_metric(ValueMetric metric) { return kValueMetrics[static_cast<std::size_t>(metric)]; }

std::string state_template_path(const UnitValue& value) {
    if (value.derived) return "value_json.derived." + value.path;
    const std::string& path = value.path;
    std::string out = "value_json.fields";
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t dot = std::min(path.find('.', start), path.size());
        const std::string part = path.substr(start, dot - start);
        const bool number = !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
        out += number ? "[" + part + "]" : "." + part;
        start = dot + 1;
    }
    return out;
}

}  // namespace site
