#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "host/json.h"

namespace site {

// Writes JSON text straight onto the end of a string, for messages that are built once and
// sent: no document tree, no stream. Strings are escaped as JSON needs it (quote, backslash,
// control characters as \n or \u001f; other bytes, UTF-8 included, go as they are). Written
// as the host's line writer writes them: a real number in its shortest text that reads back
// the same, with ".0" when it has no fraction ("53.6", "230.0"), and null for NaN and infinities.
// The caller keeps the nesting right; the writer only places the commas and colons.
class JsonWriter {
public:
    explicit JsonWriter(std::string& out) : out_(out) {}

    JsonWriter& begin_object();
    JsonWriter& end_object();
    JsonWriter& begin_array();
    JsonWriter& end_array();
    JsonWriter& key(std::string_view name);

    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(const std::string& text) { return value(std::string_view(text)); }
    JsonWriter& value(bool flag);
    JsonWriter& value(std::uint64_t number);
    JsonWriter& value(std::int64_t number);
    JsonWriter& value(unsigned number) { return value(static_cast<std::uint64_t>(number)); }
    JsonWriter& value(int number) { return value(static_cast<std::int64_t>(number)); }
    JsonWriter& value(double number);
    // A decoded value as it stands (objects with their members in name order).
    JsonWriter& value(const Json::Value& tree);

private:
    // A comma before every item of an object or array but its first.
    void next_item();
    void open(char bracket);
    void close(char bracket);
    template <typename Whole>
    JsonWriter& whole(Whole number);

    std::string& out_;
    bool first_ = true;      // nothing written yet at this level
    bool afterKey_ = false;  // the value of a member comes next
};

}  // namespace site
