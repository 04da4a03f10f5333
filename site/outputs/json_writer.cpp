#include "site/outputs/json_writer.h"

#include <charconv>
#include <cmath>

namespace site {
namespace {

void append_escaped(std::string& out, std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += "\\u00";
                    out += digits[(c >> 4) & 0x0F];
                    out += digits[c & 0x0F];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

template <typename Number>
void append_number(std::string& out, Number number) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, number);
    out.append(text, result.ptr);
}

}  // namespace

void JsonWriter::next_item() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!first_) out_ += ',';
    first_ = false;
}

void JsonWriter::open(char bracket) {
    next_item();
    out_ += bracket;
    first_ = true;
}

void JsonWriter::close(char bracket) {
    out_ += bracket;
    first_ = false;
}

JsonWriter& JsonWriter::begin_object() {
    open('{');
    return *this;
}

JsonWriter& JsonWriter::end_object() {
    close('}');
    return *this;
}

JsonWriter& JsonWriter::begin_array() {
    open('[');
    return *this;
}

JsonWriter& JsonWriter::end_array() {
    close(']');
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    next_item();
    append_escaped(out_, name);
    out_ += ':';
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
    next_item();
    append_escaped(out_, text);
    return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
    next_item();
    out_ += flag ? "true" : "false";
    return *this;
}

template <typename Whole>
JsonWriter& JsonWriter::whole(Whole number) {
    next_item();
    append_number(out_, number);
    return *this;
}

JsonWriter& JsonWriter::value(std::uint64_t number) { return whole(number); }
JsonWriter& JsonWriter::value(std::int64_t number) { return whole(number); }

JsonWriter& JsonWriter::value(double number) {
    next_item();
    if (!std::isfinite(number)) {
        out_ += "null";
        return *this;
    }
    const std::size_t start = out_.size();
    append_number(out_, number);
    // Still a real number when read back.
    if (out_.find_first_of(".e", start) == std::string::npos) out_ += ".0";
    return *this;
}

JsonWriter& JsonWriter::value(const Json::Value& tree) {
    switch (tree.type()) {
        case Json::nullValue:
            next_item();
            out_ += "null";
            return *this;
        case Json::intValue: return value(static_cast<std::int64_t>(tree.asInt64()));
        case Json::uintValue: return value(static_cast<std::uint64_t>(tree.asUInt64()));
        case Json::realValue: return value(tree.asDouble());
        case Json::stringValue: {
            const char* begin = nullptr;
            const char* end = nullptr;
            tree.getString(&begin, &end);
            return value(std::string_view(begin, static_cast<std::size_t>(end - begin)));
        }
        case Json::booleanValue: return value(tree.asBool());
        case Json::arrayValue:
            begin_array();
            for (const Json::Value& item : tree) value(item);
            return end_array();
        case Json::objectValue:
            begin_object();
            for (auto it = tree.begin(); it != tree.end(); ++it) {
                const char* end = nullptr;
                const char* name = it.memberName(&end);
                key(std::string_view(name, static_cast<std::size_t>(end - name))).value(*it);
            }
            return end_object();
    }
    return *this;
}

}  // namespace site
