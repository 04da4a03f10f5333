#include "site/store/history_listing.h"

#include <exception>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "site/host/image_layouts.h"
#include "site/host/json_text.h"

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

bool selected(const std::string& path, const std::vector<std::string>& fields) {
    if (fields.empty()) return true;
    for (const std::string& field : fields) {
        if (path.compare(0, field.size(), field) == 0 && (path.size() == field.size() || path[field.size()] == '.'))
            return true;
    }
    return false;
}

// The row as listed, or null when the field selection leaves nothing of it.
Json::Value listed_row(const StoredImage& stored, const std::vector<std::string>& fields) {
    Json::Value row = history_row(stored);
    if (fields.empty()) return row;
    if (!row.isMember("fields")) return Json::Value();
    Json::Value chosen(Json::objectValue);
    for_each_leaf(row["fields"], [&](const std::string& path, const Json::Value& value) {
        if (selected(path, fields)) chosen[path] = value;
    });
    if (chosen.empty()) return Json::Value();
    row["fields"] = std::move(chosen);
    return row;
}

// Visits the listed rows oldest first. With a limit the newest rows are gathered first (at
// most `limit` of them are held), so the database is read only as far back as needed.
void visit_rows(const HistoryStore& store, const ListingOptions& options,
                const std::function<void(const StoredImage&, const Json::Value&)>& visit) {
    if (options.limit == 0) {
        store.scan(options.filter, [&](const StoredImage& stored) {
            const Json::Value row = listed_row(stored, options.fields);
            if (!row.isNull()) visit(stored, row);
            return true;
        });
        return;
    }
    HistoryFilter newestFirst = options.filter;
    newestFirst.newestFirst = true;
    std::vector<std::pair<StoredImage, Json::Value>> rows;
    store.scan(newestFirst, [&](const StoredImage& stored) {
        Json::Value row = listed_row(stored, options.fields);
        if (!row.isNull()) rows.emplace_back(stored, std::move(row));
        return rows.size() < options.limit;
    });
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) visit(row->first, row->second);
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

std::size_t list_history_json(const HistoryStore& store, std::ostream& out, const ListingOptions& options) {
    const auto writer = make_line_writer();
    out << '[';
    std::size_t listed = 0;
    try {
        visit_rows(store, options, [&](const StoredImage&, const Json::Value& row) {
            out << (listed++ == 0 ? "\n" : ",\n");
            writer->write(row, &out);
        });
    } catch (...) {
        out << "\n]\n";
        throw;
    }
    out << "\n]\n";
    return listed;
}

std::size_t list_history_csv(const HistoryStore& store, std::ostream& out, const ListingOptions& options) {
    const auto writer = make_line_writer();
    out << "id,saved_at,device,record,field,value\n";
    std::size_t listed = 0;
    visit_rows(store, options, [&](const StoredImage& stored, const Json::Value& row) {
        ++listed;
        const std::string prefix = std::to_string(stored.id) + "," + csv_cell(row["saved_at"].asString()) + "," +
                                   std::to_string(stored.device) + "," + std::to_string(stored.record) + ",";
        if (row.isMember("error")) {
            out << prefix << "error," << csv_cell(row["error"].asString()) << '\n';
            out << prefix << "image," << row["image"].asString() << '\n';
            return;
        }
        for_each_leaf(row["fields"], [&](const std::string& path, const Json::Value& value) {
            out << prefix << csv_cell(path) << ',' << csv_cell(scalar_text(value, *writer)) << '\n';
        });
    });
    return listed;
}

}  // namespace site
