#include "site/history_listing.h"

#include <memory>
#include <sstream>
#include <string>

#include "site/event_log.h"
#include "site/image_layouts.h"

namespace site {
namespace {

std::string csv_cell(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string scalar_text(const Json::Value& value, Json::StreamWriter& writer) {
    if (value.isString()) return value.asString();
    std::ostringstream out;
    writer.write(value, &out);
    return out.str();
}

// One CSV line per leaf of `value`, named by its path from the row's fields.
void csv_leaves(const Json::Value& value, const std::string& path, const std::string& prefix, std::ostream& out,
                Json::StreamWriter& writer) {
    if (value.isObject()) {
        for (const std::string& key : value.getMemberNames())
            csv_leaves(value[key], path.empty() ? key : path + "." + key, prefix, out, writer);
        return;
    }
    if (value.isArray()) {
        for (Json::ArrayIndex i = 0; i < value.size(); ++i)
            csv_leaves(value[i], path + "." + std::to_string(i), prefix, out, writer);
        return;
    }
    out << prefix << csv_cell(path) << ',' << csv_cell(scalar_text(value, writer)) << '\n';
}

}  // namespace

Json::Value history_row(const StoredImage& stored) {
    Json::Value row(Json::objectValue);
    row["id"] = static_cast<Json::Int64>(stored.id);
    row["saved_at"] = local_time_text(stored.savedAtMs);
    row["device"] = stored.device;
    row["record"] = stored.record;
    row["kind"] = record_kind(stored.record);
    DecodedImage decoded = decode_image(stored.record, stored.image);
    if (decoded.ok) {
        row["fields"] = std::move(decoded.fields);
    } else {
        row["error"] = decoded.error;
        row["image"] = hex_text(stored.image);
    }
    return row;
}

void list_history_json(const HistoryStore& store, std::ostream& out, std::optional<unsigned> device) {
    const auto writer = make_line_writer();
    out << '[';
    bool first = true;
    store.for_each(
        [&](const StoredImage& stored) {
            out << (first ? "\n" : ",\n");
            first = false;
            writer->write(history_row(stored), &out);
        },
        device);
    out << "\n]\n";
}

void list_history_csv(const HistoryStore& store, std::ostream& out, std::optional<unsigned> device) {
    const auto writer = make_line_writer();
    out << "id,saved_at,device,record,field,value\n";
    store.for_each(
        [&](const StoredImage& stored) {
            const Json::Value row = history_row(stored);
            const std::string prefix = std::to_string(stored.id) + "," + csv_cell(row["saved_at"].asString()) + "," +
                                       std::to_string(stored.device) + "," + std::to_string(stored.record) + ",";
            if (row.isMember("fields")) {
                csv_leaves(row["fields"], "", prefix, out, *writer);
            } else {
                out << prefix << "error," << csv_cell(row["error"].asString()) << '\n';
                out << prefix << "image," << row["image"].asString() << '\n';
            }
        },
        device);
}

}  // namespace site
