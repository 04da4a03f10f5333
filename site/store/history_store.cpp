#include "site/store/history_store.h"

#include <sqlite3.h>

#include <stdexcept>
#include <utility>

#include "site/store/history_schema.h"
#include "site/store/sqlite_use.h"

namespace site {
namespace {

constexpr std::int64_t kHourMs = 3'600'000;
// Old images' readings of the time before the value tables, pruned for each image pruned: an
// image decoded into 15 to 200 of them.
constexpr std::size_t kReadingsPerPrunedImage = 128;
// Samples pruned for each image pruned: an image has up to 60 analog values.
constexpr std::size_t kSamplesPerPrunedImage = 64;

StoredImage read_row(sqlite3_stmt* row) {
    StoredImage stored;
    stored.id = sqlite3_column_int64(row, 0);
    stored.device = static_cast<unsigned>(sqlite3_column_int64(row, 1));
    stored.record = sqlite3_column_int(row, 2);
    stored.savedAtMs = sqlite3_column_int64(row, 3);
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(row, 4));
    const int size = sqlite3_column_bytes(row, 4);
    if (bytes != nullptr && size > 0) stored.image.assign(bytes, bytes + size);
    return stored;
}

// A page that fails the check makes the database unreadable, like a damaged header does.
void quick_check(sqlite3* db) {
    sqlite3_stmt* check = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &check, nullptr) != SQLITE_OK) fail(db, "quick_check");
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(check, sqlite3_finalize);
    if (sqlite3_step(check) != SQLITE_ROW) fail(db, "quick_check");
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
    const std::string result = text != nullptr ? text : "";
    if (result != "ok") throw Unreadable("quick_check: " + result);
}

sqlite3* open_connection(const std::string& path, HistoryStore::Mode mode) {
    const int flags =
        mode == HistoryStore::Mode::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string message = path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "cannot open");
        sqlite3_close(db);
        throw std::runtime_error(message);
    }
    sqlite3_busy_timeout(db, 2000);
    try {
        if (mode == HistoryStore::Mode::ReadWrite) {
            quick_check(db);
            // Before anything of it changes: a database of another program stays as it is.
            const DatabaseLook look = look_at(db);
            if (!look.ours) throw std::runtime_error(path + ": " + look.why + "; left untouched");
            create_or_migrate(db);
            exec(db, "PRAGMA journal_mode=WAL");
            exec(db, "PRAGMA synchronous=NORMAL");
            // The host only appends and reads newest rows: a small page cache keeps its memory flat.
            exec(db, "PRAGMA cache_size=-256");
        }
        exec(db, "SELECT max(id) FROM history");
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
    return db;
}

bool has_table(sqlite3* db, const char* name) {
    return query_number(
               db, ("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = '" + std::string(name) + "'")
                       .c_str()) > 0;
}

}  // namespace

// One open database and what is prepared on it.
struct HistoryStore::Connection {
    ~Connection() {
        values.reset();
        for (sqlite3_stmt* statement : {insert, insertAlarm, newest, pruneImages, pruneReadings, pruneAlarms})
            sqlite3_finalize(statement);
        sqlite3_close(db);
        // Only then the lock: closing any descriptor of the file would drop the locks SQLite holds on it.
    }

    std::unique_ptr<FileLock> lock;  // none for a reader
    sqlite3* db = nullptr;
    std::unique_ptr<ValueHistory> values;
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* insertAlarm = nullptr;
    sqlite3_stmt* newest = nullptr;
    sqlite3_stmt* pruneImages = nullptr;
    sqlite3_stmt* pruneReadings = nullptr;  // only where the old readings are
    sqlite3_stmt* pruneAlarms = nullptr;
};

std::unique_ptr<HistoryStore> HistoryStore::open(const std::string& path, Mode mode, std::string* notice,
                                                 ValuePolicy policy) {
    std::unique_ptr<HistoryStore> store(new HistoryStore(path, mode, policy));
    store->connect(notice);
    return store;
}

HistoryStore::HistoryStore(std::string path, Mode mode, ValuePolicy policy)
    : path_(std::move(path)), mode_(mode), policy_(policy) {}

HistoryStore::~HistoryStore() {
    if (!connection_ || !connection_->values) return;
    try {
        Transaction transaction(connection_->db, "saving the open intervals");
        connection_->values->close_intervals();
        transaction.commit();
    } catch (const std::exception&) {
        // The last minutes' trends are lost; their samples are kept.
    }
}

void HistoryStore::connect(std::string* notice) {
    auto connection = std::make_unique<Connection>();
    try {
        if (mode_ == Mode::ReadOnly) {
            connection->db = open_connection(path_, mode_);
        } else {
            const std::string refusal = write_refusal(path_);
            if (!refusal.empty()) throw std::runtime_error(refusal);
            connection->lock = std::make_unique<FileLock>(path_);
            try {
                connection->db = open_connection(path_, mode_);
            } catch (const Unreadable& e) {
                connection->lock.reset();
                const std::string aside = move_aside(path_);
                connection->lock = std::make_unique<FileLock>(path_);
                if (notice != nullptr)
                    *notice =
                        path_ + " could not be read (" + e.what() + "); moved it to " + aside + " and started anew";
                connection->db = open_connection(path_, mode_);
            }
        }
        sqlite3* db = connection->db;
        connection->newest = prepare_statement(
            db, "SELECT id, device, record, saved_at, image FROM history WHERE device = ?1 ORDER BY id DESC LIMIT 1");
        if (mode_ == Mode::ReadWrite) {
            connection->insert =
                prepare_statement(db, "INSERT INTO history(device, record, saved_at, image) VALUES (?1, ?2, ?3, ?4)");
            connection->insertAlarm = prepare_statement(
                db,
                "INSERT INTO alarms(t, device, change, key, code, text, level) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
            // Rows are appended in time order: the oldest are at the front, and a batch taken
            // from there costs the same however large the tables have grown.
            connection->pruneImages = prepare_statement(
                db, "DELETE FROM history WHERE id IN (SELECT id FROM history ORDER BY id LIMIT ?2) AND saved_at < ?1");
            if (has_table(db, "readings"))
                connection->pruneReadings = prepare_statement(
                    db,
                    "DELETE FROM readings WHERE rowid IN (SELECT rowid FROM readings ORDER BY rowid LIMIT ?2) "
                    "AND saved_at < ?1");
            connection->pruneAlarms = prepare_statement(db, "DELETE FROM alarms WHERE t < ?1");
            connection->values = std::make_unique<ValueHistory>(db, policy_);
        }
    } catch (const Unreadable& e) {
        throw std::runtime_error(path_ + ": " + e.what());
    }
    connection_ = std::move(connection);
}

std::string HistoryStore::reopen_if_gone() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection_ && !connection_->lock) return {};
    const std::string gone = connection_ ? connection_->lock->gone() : "could not be opened again";
    if (gone.empty()) return {};
    // Never another row into the old file; the trends of the open intervals go with it. SQLite
    // leaves the journal of a file that has gone where it was: it must not meet the new one.
    const JournalFiles journals(path_);
    connection_.reset();
    journals.remove_left();
    connect(nullptr);
    return path_ + " " + gone + " while the host ran; saving into a new database there";
}

HistoryStore::Connection& HistoryStore::writable() {
    if (mode_ != Mode::ReadWrite) throw std::runtime_error("the history database is open for reading only");
    if (!connection_) connect(nullptr);
    return *connection_;
}

HistoryStore::Connection& HistoryStore::readable() const {
    if (!connection_) throw std::runtime_error(path_ + ": not open");
    return *connection_;
}

void HistoryStore::save_round(const std::vector<UnitImage>& images, std::int64_t savedAtMs,
                              const std::vector<AlarmChange>& alarms) {
    std::lock_guard<std::mutex> lock(mutex_);
    Connection& c = writable();
    Transaction transaction(c.db, "saving a round");
    for (const UnitImage& unit : images) {
        StatementUse use(c.insert);
        sqlite3_bind_int64(c.insert, 1, unit.device);
        sqlite3_bind_int(c.insert, 2, unit.record);
        sqlite3_bind_int64(c.insert, 3, savedAtMs);
        sqlite3_bind_blob(c.insert, 4, unit.image.data(), static_cast<int>(unit.image.size()), SQLITE_STATIC);
        step_change(c.db, c.insert, "saving an image of device " + std::to_string(unit.device));
        c.values->save(unit.device, unit.record, unit.image, savedAtMs);
    }
    for (const AlarmChange& alarm : alarms) {
        StatementUse use(c.insertAlarm);
        sqlite3_bind_int64(c.insertAlarm, 1, savedAtMs);
        sqlite3_bind_int64(c.insertAlarm, 2, alarm.device);
        sqlite3_bind_text(c.insertAlarm, 3, alarm.raised ? "raised" : "cleared", -1, SQLITE_STATIC);
        sqlite3_bind_text(c.insertAlarm, 4, alarm.key.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(c.insertAlarm, 5, alarm.code.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(c.insertAlarm, 6, alarm.text.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(c.insertAlarm, 7, alarm.level);
        step_change(c.db, c.insertAlarm, "saving an alarm of device " + std::to_string(alarm.device));
    }
    transaction.commit();
}

void HistoryStore::save(unsigned device, int record, const std::vector<std::uint8_t>& image, std::int64_t savedAtMs) {
    save_round({UnitImage{device, record, image}}, savedAtMs);
}

std::size_t HistoryStore::prune(const RetentionCut& cut, std::size_t batch) {
    std::lock_guard<std::mutex> lock(mutex_);
    Connection& c = writable();
    Transaction transaction(c.db, "pruning old history");
    std::size_t removed = 0;
    const auto run = [&](sqlite3_stmt* statement, auto bindCut, std::int64_t limit) {
        StatementUse use(statement);
        bindCut(statement);
        sqlite3_bind_int64(statement, 2, limit);
        removed += step_change(c.db, statement, "pruning old history");
    };
    if (cut.imagesBeforeMs > 0) {
        run(
            c.pruneImages, [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, cut.imagesBeforeMs); },
            static_cast<std::int64_t>(batch));
        if (c.pruneReadings != nullptr) {
            const std::string before = utc_time_text(cut.imagesBeforeMs);
            run(
                c.pruneReadings, [&](sqlite3_stmt* s) { sqlite3_bind_text(s, 1, before.c_str(), -1, SQLITE_STATIC); },
                static_cast<std::int64_t>(batch * kReadingsPerPrunedImage));
        }
    }
    const std::int64_t samplesBefore = cut.samplesBeforeMs > 0 ? cut.samplesBeforeMs : 0;
    const bool longTermDue = cut.longTermBeforeMs > 0 && cut.longTermBeforeMs - longTermPrunedAtMs_ >= kHourMs;
    removed += c.values->prune(samplesBefore, batch * kSamplesPerPrunedImage, longTermDue ? cut.longTermBeforeMs : 0);
    if (longTermDue) {
        StatementUse use(c.pruneAlarms);
        sqlite3_bind_int64(c.pruneAlarms, 1, cut.longTermBeforeMs);
        removed += step_change(c.db, c.pruneAlarms, "pruning old alarms");
    }
    transaction.commit();
    if (longTermDue) longTermPrunedAtMs_ = cut.longTermBeforeMs;
    return removed;
}

std::optional<StoredImage> HistoryStore::newest(unsigned device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Connection& c = readable();
    StatementUse use(c.newest);
    sqlite3_bind_int64(c.newest, 1, device);
    const int step = sqlite3_step(c.newest);
    if (step == SQLITE_ROW) return read_row(c.newest);
    if (step != SQLITE_DONE) fail(c.db, "reading the history of device " + std::to_string(device));
    return std::nullopt;
}

void HistoryStore::scan(const HistoryFilter& filter, const std::function<bool(const StoredImage&)>& visit) const {
    std::string sql = "SELECT id, device, record, saved_at, image FROM history WHERE 1";
    if (filter.device) sql += " AND device = ?1";
    if (filter.sinceMs) sql += " AND saved_at >= ?2";
    if (filter.untilMs) sql += " AND saved_at < ?3";
    sql += filter.newestFirst ? " ORDER BY id DESC" : " ORDER BY id";
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_stmt* rows = nullptr;
    sqlite3* db = readable().db;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &rows, nullptr) != SQLITE_OK) fail(db, "listing the history");
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(rows, sqlite3_finalize);
    if (filter.device) sqlite3_bind_int64(rows, 1, *filter.device);
    if (filter.sinceMs) sqlite3_bind_int64(rows, 2, *filter.sinceMs);
    if (filter.untilMs) sqlite3_bind_int64(rows, 3, *filter.untilMs);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(rows)) == SQLITE_ROW)
        if (!visit(read_row(rows))) return;
    if (step != SQLITE_DONE) fail(db, "listing the history");
}

void HistoryStore::for_each(const std::function<void(const StoredImage&)>& visit,
                            std::optional<unsigned> device) const {
    HistoryFilter filter;
    filter.device = device;
    scan(filter, [&visit](const StoredImage& stored) {
        visit(stored);
        return true;
    });
}

std::size_t HistoryStore::count(std::optional<unsigned> device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!device) return static_cast<std::size_t>(query_number(readable().db, "SELECT count(*) FROM history"));
    return static_cast<std::size_t>(
        query_number(readable().db, "SELECT count(*) FROM history WHERE device = ?1", std::int64_t{*device}));
}

std::size_t HistoryStore::row_count(const std::string& table) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(query_number(readable().db, ("SELECT count(*) FROM " + table).c_str()));
}

}  // namespace site
