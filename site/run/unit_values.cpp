#include "site/run/unit_values.h"

#include <algorithm>

#include "site/host/image_layouts.h"

namespace site {
namespace {

enum class Quantity { Voltage, Current, Frequency, Parameter };

// How the device marks a value it did not provide, besides sending no number at all.
enum class Missing { Never, Zero, MinusTenth };

struct ValueRule {
    const char* name;
    Quantity quantity;
    Missing missing;
    const char* countField;  // arrays: the field holding how many items the device sent
};

constexpr ValueRule kAcUnitValues[] = {
    {"ia", Quantity::Current, Missing::MinusTenth, nullptr},
    {"ib", Quantity::Current, Missing::MinusTenth, nullptr},
    {"ic", Quantity::Current, Missing::MinusTenth, nullptr},
};
constexpr ValueRule kAcChannelValues[] = {
    {"a", Quantity::Voltage, Missing::Zero, nullptr},
    {"b", Quantity::Voltage, Missing::Zero, nullptr},
    {"c", Quantity::Voltage, Missing::Zero, nullptr},
    {"f", Quantity::Frequency, Missing::Zero, nullptr},
};
constexpr ValueRule kDcValues[] = {
    {"voltage", Quantity::Voltage, Missing::Never, nullptr},
    {"current", Quantity::Current, Missing::Never, nullptr},
    {"m_value", Quantity::Current, Missing::Never, "dc_m"},
    {"n_value", Quantity::Current, Missing::Never, "dc_n"},
    {"user_p", Quantity::Parameter, Missing::MinusTenth, "p_count"},
};
constexpr ValueRule kRcGroupValues[] = {
    {"ac_param", Quantity::Parameter, Missing::Never, nullptr},
    {"dc_param", Quantity::Parameter, Missing::Never, nullptr},
    {"p42_46_value", Quantity::Parameter, Missing::Never, "p42_46"},
    {"output_voltage", Quantity::Voltage, Missing::Never, nullptr},
};
constexpr ValueRule kRcModuleValues[] = {
    {"output_current", Quantity::Current, Missing::Never, nullptr},
    {"p41_41_value", Quantity::Parameter, Missing::Never, "p41_41"},
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
    const float value = static_cast<float>(item.asDouble());
    switch (missing) {
        case Missing::Never: return true;
        case Missing::Zero: return value != 0.0f;
        case Missing::MinusTenth: return value != -0.1f;
    }
    return true;
}

void describe(UnitValue& value, Quantity quantity) {
    switch (quantity) {
        case Quantity::Voltage: value.unit = "V"; value.deviceClass = "voltage"; break;
        case Quantity::Current: value.unit = "A"; value.deviceClass = "current"; break;
        case Quantity::Frequency: value.unit = "Hz"; value.deviceClass = "frequency"; break;
        case Quantity::Parameter: break;
    }
}

void add_value(std::vector<UnitValue>& out, const ValueRule& rule, const Json::Value& item, const std::string& path,
               const std::string& field, int index) {
    UnitValue& value = out.emplace_back();
    value.path = path;
    value.field = field;
    value.index = index;
    value.provided = provided(item, rule.missing);
    value.value = item.isNumeric() ? item.asDouble() : 0.0;
    describe(value, rule.quantity);
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
            add_value(out, rule, item, prefix + rule.name, fieldPrefix + rule.name, position);
            continue;
        }
        Json::ArrayIndex count = item.size();
        if (rule.countField != nullptr) count = std::min(count, fields[rule.countField].asUInt());
        for (Json::ArrayIndex i = 0; i < count; ++i)
            add_value(out, rule, item[i], prefix + rule.name + "." + std::to_string(i), fieldPrefix + rule.name,
                      static_cast<int>(i));
    }
}

void add_elements(std::vector<UnitValue>& out, const RuleList& list, const Json::Value& elements, const char* name) {
    for (Json::ArrayIndex i = 0; i < elements.size(); ++i) add_values(out, list, elements[i], name, static_cast<int>(i));
}

}  // namespace

std::vector<UnitValue> unit_values(int record, const Json::Value& fields) {
    std::vector<UnitValue> values;
    switch (record) {
        case kAcRecord:
            add_values(values, rules_of(kAcUnitValues), fields);
            add_elements(values, rules_of(kAcChannelValues), fields["channels"], "channels");
            break;
        case kDcRecord: add_values(values, rules_of(kDcValues), fields); break;
        case kRcRecord:
            add_values(values, rules_of(kRcGroupValues), fields);
            add_elements(values, rules_of(kRcModuleValues), fields["modules"], "modules");
            break;
        default: break;
    }
    return values;
}

std::string state_template_path(const std::string& path) {
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
