#pragma once
#include <optional>
#include <ostream>

#include "host/json.h"
#include "site/history_store.h"

namespace site {

// One saved image as a JSON object: id, saved_at, device, record, kind, and either the
// decoded "fields" or an "error" with the raw "image" in hex.
Json::Value history_row(const StoredImage& stored);

// Every saved image (of one unit, if given), oldest first: a JSON array with one row per
// line, or CSV with one line per field (id,saved_at,device,record,field,value) where nested
// fields are named by their path ("channels.0.a", "alert_m.3").
void list_history_json(const HistoryStore& store, std::ostream& out, std::optional<unsigned> device = std::nullopt);
void list_history_csv(const HistoryStore& store, std::ostream& out, std::optional<unsigned> device = std::nullopt);

}  // namespace site
