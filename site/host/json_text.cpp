#include "site/host/json_text.h"

namespace site {

std::string hex_text(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

std::unique_ptr<Json::StreamWriter> make_line_writer() {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["commentStyle"] = "None";
    builder["emitUTF8"] = true;
    // 15 significant digits print a float's shortest text exactly (see float_json).
    builder["precision"] = 15;
    return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
}

}  // namespace site
