#include "site/store/history_schema.h"

#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <set>

#include "site/store/sqlite_use.h"

namespace site {
namespace {

// Times are milliseconds since the epoch (UTC) in every table but the old `readings`.
constexpr const char* kSchema =
    // Whole images of every round, for the listing and the host's restart; kept a short time.
    "CREATE TABLE IF NOT EXISTS history ("
    " id INTEGER PRIMARY KEY,"
    " device INTEGER NOT NULL,"
    " record INTEGER NOT NULL,"
    " saved_at INTEGER NOT NULL,"
    " image BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS history_by_device ON history(device, id);"
    "CREATE INDEX IF NOT EXISTS history_by_time ON history(saved_at);"
    // One row per field a unit really has.
    "CREATE TABLE IF NOT EXISTS series ("
    " id INTEGER PRIMARY KEY,"
    " device INTEGER NOT NULL,"
    " record INTEGER NOT NULL,"
    " field TEXT NOT NULL,"
    " analog INTEGER NOT NULL,"
    " UNIQUE (device, field));"
    // Analog values of every round. Time first: a round's rows are appended side by side, so
    // saving one touches a page or two however many series there are.
    "CREATE TABLE IF NOT EXISTS samples ("
    " t INTEGER NOT NULL,"
    " series INTEGER NOT NULL,"
    " value REAL,"
    " PRIMARY KEY (t, series)) WITHOUT ROWID;"
    // Analog values per interval, for the long term; written once an interval.
    "CREATE TABLE IF NOT EXISTS trends ("
    " series INTEGER NOT NULL,"
    " t INTEGER NOT NULL,"
    " min REAL,"
    " mean REAL,"
    " max REAL,"
    " n INTEGER NOT NULL,"
    " PRIMARY KEY (series, t)) WITHOUT ROWID;"
    // States, alarm bytes, counts and parameters: a row when the value changes, and one now
    // and then while it does not, so that any window of time holds the value it had.
    "CREATE TABLE IF NOT EXISTS changes ("
    " series INTEGER NOT NULL,"
    " t INTEGER NOT NULL,"
    " value,"
    " PRIMARY KEY (series, t)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS alarms ("
    " id INTEGER PRIMARY KEY,"
    " t INTEGER NOT NULL,"
    " device INTEGER NOT NULL,"
    " change TEXT NOT NULL,"
    " key TEXT NOT NULL,"
    " code TEXT NOT NULL,"
    " text TEXT NOT NULL,"
    " level INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS alarms_by_time ON alarms(t);"
    // The same rows with their unit and field named, for the sqlite3 shell and Grafana.
    "CREATE VIEW IF NOT EXISTS sample_values AS"
    " SELECT s.t, f.device, f.field, s.value FROM samples s JOIN series f ON f.id = s.series;"
    "CREATE VIEW IF NOT EXISTS trend_values AS"
    " SELECT r.t, f.device, f.field, r.min, r.mean, r.max, r.n FROM trends r JOIN series f ON f.id = r.series;"
    "CREATE VIEW IF NOT EXISTS change_values AS"
    " SELECT c.t, f.device, f.field, c.value FROM changes c JOIN series f ON f.id = c.series;";

// The tables of the host's databases from before they carried the application id.
const std::set<std::string> kTablesBeforeId = {"history", "readings"};

std::set<std::string> table_names(sqlite3* db) {
    sqlite3_stmt* rows = nullptr;
    const char* sql = "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'";
    if (sqlite3_prepare_v2(db, sql, -1, &rows, nullptr) != SQLITE_OK) fail(db, "reading the tables");
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(rows, sqlite3_finalize);
    std::set<std::string> names;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(rows)) == SQLITE_ROW)
        names.insert(reinterpret_cast<const char*>(sqlite3_column_text(rows, 0)));
    if (step != SQLITE_DONE) fail(db, "reading the tables");
    return names;
}

std::string listed(const std::set<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

DatabaseLook look_at(sqlite3* db) {
    const std::int64_t id = query_number(db, "PRAGMA application_id");
    if (id == kHistoryApplicationId) return {true, {}};
    if (id != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(id));
        return {false, std::string("a SQLite database of another program (application_id ") + hex + ")"};
    }
    const std::set<std::string> tables = table_names(db);
    bool before = tables.count("history") == 1;
    for (const std::string& table : tables) before = before && kTablesBeforeId.count(table) == 1;
    if (tables.empty() || before) return {true, {}};
    return {false, "a SQLite database of another program (tables " + listed(tables) + ")"};
}

void create_or_migrate(sqlite3* db) {
    Transaction transaction(db, "preparing the history tables");
    exec(db, kSchema);
    exec(db, ("PRAGMA application_id=" + std::to_string(kHistoryApplicationId)).c_str());
    transaction.commit();
}

}  // namespace site
