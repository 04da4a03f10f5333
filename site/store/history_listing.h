#pragma once
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "host/json.h"
#include "site/store/history_store.h"

namespace site {

// Which saved images a listing shows and how much of each.
struct ListingOptions {
    HistoryFilter filter;
    // Only the newest this many images (still listed oldest first); 0: all.
    std::size_t limit = 0;
    // Only these fields, each a path as in the CSV listing ("voltage", "channels.0.a") or the
    // start of one ("channels.0"); images without any of them are left out. Empty: all.
    std::vector<std::string> fields;
};

// One saved image as a JSON object: id, saved_at, device, record, kind, and either the
// decoded "fields" or an "error" with the raw "image" in hex.
Json::Value history_row(const StoredImage& stored);

// The saved images, oldest first: a JSON array with one row per line, or CSV with one line per
// field (id,saved_at,device,record,field,value) where nested fields are named by their path
// ("channels.0.a", "alert_m.3"). With `fields`, a JSON row's "fields" holds the selected ones
// keyed by their path. When reading the database fails part way, the JSON array is still
// closed, so what was listed is a whole document, and then the error is thrown. Both return
// how many images they listed.
std::size_t list_history_json(const HistoryStore& store, std::ostream& out, const ListingOptions& options = {});
std::size_t list_history_csv(const HistoryStore& store, std::ostream& out, const ListingOptions& options = {});

}  // namespace site
