#include "site/host/image_layouts.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bytes/byte_reader.h"

namespace site {
namespace {

struct FieldList {
    const FieldSpec* fields;
    std::size_t count;
    int size;
};

template <std::size_t N>
constexpr FieldList list_of(const FieldSpec (&fields)[N]) {
    return FieldList{fields, N, layout_size(fields)};
}

// Offset of the named field in the list; -1 when it has none.
int field_offset_in(const FieldList& list, const char* name) {
    int offset = 0;
    for (std::size_t i = 0; i < list.count; ++i) {
        if (std::strcmp(list.fields[i].name, name) == 0) return offset;
        offset += field_size(list.fields[i].type) * list.fields[i].count;
    }
    return -1;
}

// A record made of a head and a run of equal elements whose number the head tells.
struct ImageLayout {
    const char* title;
    FieldList head;
    const char* countField;  // nullptr: the head is the whole image
    const char* elementsName;
    FieldList element;
};

const ImageLayout kAcLayout{"AC unit", list_of(kAcUnitFields), "channel_count", "channels", list_of(kAcChannelFields)};
const ImageLayout kDcLayout{"DC unit", list_of(kDcFields), nullptr, nullptr, FieldList{nullptr, 0, 0}};
const ImageLayout kRcLayout{"rectifier group", list_of(kRcGroupFields), "module_count", "modules",
                            list_of(kRcModuleFields)};

const ImageLayout* layout_of(int record) {
    switch (record) {
        case kAcRecord: return &kAcLayout;
        case kDcRecord: return &kDcLayout;
        case kRcRecord: return &kRcLayout;
        default: return nullptr;
    }
}

std::string time_text(const std::uint8_t (&raw)[7]) {
    const unsigned year = raw[0] | static_cast<unsigned>(raw[1]) << 8;
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", year, raw[2], raw[3], raw[4], raw[5], raw[6]);
    return text;
}

// Reads one item; the caller has checked that the whole list fits.
Json::Value read_item(ByteReader& in, FieldType type) {
    switch (type) {
        case FieldType::U8: {
            std::uint8_t v = 0;
            in.u8(v);
            return Json::Value(static_cast<Json::UInt>(v));
        }
        case FieldType::U32: {
            std::uint8_t b[4] = {};
            in.bytes(b, 4);
            return Json::Value(
                static_cast<Json::UInt>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24));
        }
        case FieldType::F32: {
            float v = 0;
            in.bytes(&v, 4);
            return float_json(v);
        }
        case FieldType::Time: {
            std::uint8_t raw[7] = {};
            in.bytes(raw, 7);
            return Json::Value(time_text(raw));
        }
    }
    return Json::Value();
}

Json::Value read_fields(ByteReader& in, const FieldList& list) {
    Json::Value out(Json::objectValue);
    for (std::size_t i = 0; i < list.count; ++i) {
        const FieldSpec& field = list.fields[i];
        if (field.count == 1) {
            out[field.name] = read_item(in, field.type);
            continue;
        }
        Json::Value& items = out[field.name] = Json::Value(Json::arrayValue);
        for (int k = 0; k < field.count; ++k) items.append(read_item(in, field.type));
    }
    return out;
}

std::string size_error(const std::vector<std::uint8_t>& image, const ImageLayout& layout, const std::string& wanted) {
    return "image of " + std::to_string(image.size()) + " bytes does not fit the " + layout.title + " record (" +
           wanted + ")";
}

void visit_leaves(const Json::Value& value, const std::string& path,
                  const std::function<void(const std::string&, const Json::Value&)>& visit) {
    if (value.isObject()) {
        for (const std::string& key : value.getMemberNames())
            visit_leaves(value[key], path.empty() ? key : path + "." + key, visit);
    } else if (value.isArray()) {
        for (Json::ArrayIndex i = 0; i < value.size(); ++i)
            visit_leaves(value[i], path + "." + std::to_string(i), visit);
    } else {
        visit(path, value);
    }
}

// Walks one record of a layout, visiting its real values under `prefix`.
class ValueWalk {
public:
    ValueWalk(ByteReader& in, const std::function<void(const ImageValue&)>& visit) : in_(in), visit_(visit) {}

    // The record's unsigned bytes by field index, for the counts of later fields and elements.
    void record(const FieldList& list, std::string& path, std::vector<unsigned>& bytes) {
        const std::size_t start = path.size();
        bytes.assign(list.count, 0);
        for (std::size_t i = 0; i < list.count; ++i) {
            const FieldSpec& field = list.fields[i];
            path.resize(start);
            path += field.name;
            const int real = real_count(list, field, bytes);
            for (int k = 0; k < field.count; ++k) {
                const double number = read_number(field.type);
                if (field.count == 1) bytes[i] = static_cast<unsigned>(number);
                if (k >= real) continue;
                if (field.count == 1) {
                    visit_(ImageValue{path, field.type, number});
                    continue;
                }
                const std::size_t base = path.size();
                path += '.';
                path += std::to_string(k);
                visit_(ImageValue{path, field.type, number});
                path.resize(base);
            }
        }
        path.resize(start);
    }

private:
    static int real_count(const FieldList& list, const FieldSpec& field, const std::vector<unsigned>& bytes) {
        if (field.countedBy == nullptr) return field.count;
        for (std::size_t i = 0; i < list.count; ++i) {
            if (std::strcmp(list.fields[i].name, field.countedBy) == 0)
                return std::min(field.count, static_cast<int>(bytes[i]));
        }
        return field.count;
    }

    double read_number(FieldType type) {
        switch (type) {
            case FieldType::U8: {
                std::uint8_t v = 0;
                in_.u8(v);
                return v;
            }
            case FieldType::U32: {
                std::uint8_t b[4] = {};
                in_.bytes(b, 4);
                return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
            }
            case FieldType::F32: {
                float v = 0;
                in_.bytes(&v, 4);
                return std::isfinite(v) ? std::strtod(float_text(v).c_str(), nullptr) : std::nan("");
            }
            case FieldType::Time: in_.skip(field_size(type)); return 0;
        }
        return 0;
    }

    ByteReader& in_;
    const std::function<void(const ImageValue&)>& visit_;
};

// Whether the image is exactly its layout's head and the elements the head counts.
bool fits_layout(const ImageLayout& layout, const std::vector<std::uint8_t>& image, int elements) {
    return image.size() == static_cast<std::size_t>(layout.head.size + elements * layout.element.size);
}

int element_count(const ImageLayout& layout, const std::vector<std::uint8_t>& image) {
    if (layout.countField == nullptr) return 0;
    const int offset = field_offset_in(layout.head, layout.countField);
    return offset >= 0 && static_cast<std::size_t>(offset) < image.size() ? image[offset] : 0;
}

}  // namespace

void for_each_leaf(const Json::Value& fields,
                   const std::function<void(const std::string& path, const Json::Value& value)>& visit) {
    visit_leaves(fields, "", visit);
}

const char* record_kind(int record) {
    switch (record) {
        case kAcRecord: return "ac";
        case kDcRecord: return "dc";
        case kRcRecord: return "rc";
        default: return "";
    }
}

DecodedImage decode_image(int record, const std::vector<std::uint8_t>& image) {
    DecodedImage decoded;
    const ImageLayout* layout = layout_of(record);
    if (layout == nullptr) {
        decoded.error = "record id " + std::to_string(record) + " is not a known record";
        return decoded;
    }
    const int size = image.size() > 0xFFFFFF ? 0xFFFFFF : static_cast<int>(image.size());
    ByteReader in(image.data(), size);
    if (size < layout->head.size) {
        const char* least = layout->countField != nullptr ? " bytes at least" : " bytes";
        decoded.error = size_error(image, *layout, std::to_string(layout->head.size) + least);
        return decoded;
    }
    decoded.fields = read_fields(in, layout->head);
    const int elements = layout->countField != nullptr ? decoded.fields[layout->countField].asInt() : 0;
    const int wanted = layout->head.size + elements * layout->element.size;
    if (size != wanted) {
        decoded.error = size_error(image, *layout, std::to_string(wanted) + " bytes");
        return decoded;
    }
    if (layout->countField != nullptr) {
        Json::Value& list = decoded.fields[layout->elementsName] = Json::Value(Json::arrayValue);
        for (int i = 0; i < elements; ++i) list.append(read_fields(in, layout->element));
    }
    decoded.ok = true;
    return decoded;
}

bool for_each_value(int record, const std::vector<std::uint8_t>& image,
                    const std::function<void(const ImageValue&)>& visit) {
    const ImageLayout* layout = layout_of(record);
    if (layout == nullptr || image.size() < static_cast<std::size_t>(layout->head.size)) return false;
    const int elements = element_count(*layout, image);
    if (!fits_layout(*layout, image, elements)) return false;
    ByteReader in(image.data(), static_cast<int>(image.size()));
    ValueWalk walk(in, visit);
    std::string path;
    std::vector<unsigned> bytes;
    walk.record(layout->head, path, bytes);
    for (int i = 0; i < elements; ++i) {
        path = std::string(layout->elementsName) + "." + std::to_string(i) + ".";
        walk.record(layout->element, path, bytes);
    }
    return true;
}

std::string float_text(float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

Json::Value float_json(float value) {
    if (!std::isfinite(value)) return Json::Value();
    return Json::Value(std::strtod(float_text(value).c_str(), nullptr));
}

}  // namespace site
