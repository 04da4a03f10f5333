#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/json.h"

// The published record images of the power system's units, as the host stores them in its
// history: decoded into named fields for listings and the terminal summary. The host knows
// these layouts from the published record formats, not from the plug-in's code.
namespace site {

constexpr int kAcRecord = 5153;
constexpr int kDcRecord = 5154;
constexpr int kRcRecord = 5155;

enum class FieldType : std::uint8_t { U8, U32, F32, Time };

// One field of a packed little-endian record; `count` > 1 makes it an array. An array whose
// `countedBy` names an earlier field holds only that many real entries (at most `count`); the
// slots past them are room the record reserves.
struct FieldSpec {
    const char* name;
    FieldType type;
    int count;
    const char* countedBy = nullptr;
};

constexpr int field_size(FieldType type) {
    switch (type) {
        case FieldType::U8: return 1;
        case FieldType::U32: return 4;
        case FieldType::F32: return 4;
        case FieldType::Time: return 7;
    }
    return 0;
}

template <std::size_t N>
constexpr int layout_size(const FieldSpec (&fields)[N]) {
    int size = 0;
    for (const FieldSpec& field : fields) size += field_size(field.type) * field.count;
    return size;
}

// Offset of the named field; -1 when the layout has none.
template <std::size_t N>
constexpr int field_offset(const FieldSpec (&fields)[N], const char* name) {
    int offset = 0;
    for (const FieldSpec& field : fields) {
        const char* a = field.name;
        const char* b = name;
        while (*a != '\0' && *a == *b) ++a, ++b;
        if (*a == *b) return offset;
        offset += field_size(field.type) * field.count;
    }
    return -1;
}

// AC unit: the unit record followed by one record per input channel.
constexpr FieldSpec kAcUnitFields[] = {
    {"device_id", FieldType::U32, 1},
    {"ia", FieldType::F32, 1},
    {"ib", FieldType::F32, 1},
    {"ic", FieldType::F32, 1},
    {"channel_count", FieldType::U8, 1},
    {"airlock_count", FieldType::U8, 1},
    {"airlock", FieldType::U8, 8, "airlock_count"},
    {"p40_43", FieldType::U8, 1},
    {"ia_alert", FieldType::U8, 1},
    {"ib_alert", FieldType::U8, 1},
    {"ic_alert", FieldType::U8, 1},
    {"update_time", FieldType::Time, 1},
};
constexpr FieldSpec kAcChannelFields[] = {
    {"a", FieldType::F32, 1},
    {"b", FieldType::F32, 1},
    {"c", FieldType::F32, 1},
    {"f", FieldType::F32, 1},
    {"p40_41", FieldType::U8, 1},
    {"a_alert", FieldType::U8, 1},
    {"b_alert", FieldType::U8, 1},
    {"c_alert", FieldType::U8, 1},
    {"f_alert", FieldType::U8, 1},
    {"p40_44", FieldType::U8, 1},
    {"p40_44_value", FieldType::U8, 6, "p40_44"},
};

// DC unit: one record.
constexpr FieldSpec kDcFields[] = {
    {"device_id", FieldType::U32, 1},         {"voltage", FieldType::F32, 1},
    {"current", FieldType::F32, 1},           {"dc_m", FieldType::U8, 1},
    {"m_value", FieldType::F32, 4, "dc_m"},   {"dc_n", FieldType::U8, 1},
    {"n_value", FieldType::F32, 9, "dc_n"},   {"p_count", FieldType::U8, 1},
    {"user_p", FieldType::F32, 8, "p_count"}, {"voltage_state", FieldType::U8, 1},
    {"alert_m_count", FieldType::U8, 1},      {"alert_m", FieldType::U8, 64, "alert_m_count"},
    {"alert_p_count", FieldType::U8, 1},      {"alert_p", FieldType::U8, 17, "alert_p_count"},
    {"update_time", FieldType::Time, 1},
};

// Rectifier group: the group record followed by one record per module.
constexpr FieldSpec kRcGroupFields[] = {
    {"device_id", FieldType::U32, 1},
    {"ac_param", FieldType::F32, 5},
    {"dc_param", FieldType::F32, 2},
    {"p42_46", FieldType::U8, 1},
    {"p42_46_value", FieldType::F32, 3, "p42_46"},
    {"output_voltage", FieldType::F32, 1},
    {"module_count", FieldType::U8, 1},
    {"update_time", FieldType::Time, 1},
};
constexpr FieldSpec kRcModuleFields[] = {
    {"output_current", FieldType::F32, 1}, {"p41_41", FieldType::U8, 1}, {"p41_41_value", FieldType::F32, 1, "p41_41"},
    {"status", FieldType::U8, 3},          {"p41_43", FieldType::U8, 1}, {"p41_43_value", FieldType::U8, 2, "p41_43"},
    {"fault", FieldType::U8, 1},           {"p41_44", FieldType::U8, 1}, {"p41_44_value", FieldType::U8, 1, "p41_44"},
};

// Stored formats: sizes and the offsets the decoder depends on must never move.
static_assert(layout_size(kAcUnitFields) == 37, "AC unit record is 37 bytes");
static_assert(layout_size(kAcChannelFields) == 28, "AC channel record is 28 bytes");
static_assert(field_offset(kAcUnitFields, "channel_count") == 16, "AC channel_count at 16");
static_assert(field_offset(kAcUnitFields, "ia_alert") == 27, "AC ia_alert at 27");
static_assert(field_offset(kAcUnitFields, "update_time") == 30, "AC update_time at 30");
static_assert(field_offset(kAcChannelFields, "p40_44_value") == 22, "AC p40_44_value at 22");
static_assert(layout_size(kDcFields) == 190, "DC record is 190 bytes");
static_assert(field_offset(kDcFields, "user_p") == 67, "DC user_p at 67");
static_assert(field_offset(kDcFields, "alert_p") == 166, "DC alert_p at 166");
static_assert(field_offset(kDcFields, "update_time") == 183, "DC update_time at 183");
static_assert(layout_size(kRcGroupFields) == 57, "rectifier group record is 57 bytes");
static_assert(field_offset(kRcGroupFields, "output_voltage") == 45, "RC output_voltage at 45");
static_assert(field_offset(kRcGroupFields, "module_count") == 49, "RC module_count at 49");
static_assert(layout_size(kRcModuleFields) == 18, "rectifier module record is 18 bytes");
static_assert(field_offset(kRcModuleFields, "fault") == 15, "RC fault at 15");

// "ac", "dc", "rc", or "" for a record id the host does not know.
const char* record_kind(int record);

// What the decoder made of one image.
struct DecodedImage {
    bool ok = false;
    std::string error;   // why the image does not fit its layout
    Json::Value fields;  // named fields; the per-channel or per-module records under "channels"/"modules"
};

DecodedImage decode_image(int record, const std::vector<std::uint8_t>& image);

// Every leaf of decoded fields with its path: "voltage", "channels.0.a", "alert_m.3". These
// are the field names of the history listing and of the readings table.
void for_each_leaf(const Json::Value& fields,
                   const std::function<void(const std::string& path, const Json::Value& value)>& visit);

// One real value of an image: its path as in for_each_leaf ("channels.0.a", "alert_m.3") and
// its number (a time field carries 0).
struct ImageValue {
    std::string_view path;
    FieldType type;
    double number;
};

// The values a unit really has, in layout order, straight from the image without building a
// document: arrays only up to their count, none of the slots past it. False, and nothing
// visited, when the image does not fit its layout.
bool for_each_value(int record, const std::vector<std::uint8_t>& image,
                    const std::function<void(const ImageValue&)>& visit);

// The shortest decimal text that reads back as the same float ("53.6", not "53.599998").
std::string float_text(float value);
// A float as a JSON number that prints as float_text() with a writer of 15 or more digits;
// null for NaN and infinities, which JSON cannot hold.
Json::Value float_json(float value);

}  // namespace site
