#include "site/history_store.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace site {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS history ("
    " id INTEGER PRIMARY KEY,"
    " device INTEGER NOT NULL,"
    " record INTEGER NOT NULL,"
    " saved_at INTEGER NOT NULL,"
    " image BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS history_by_device ON history(device, id);";

// A file that is there but cannot be read as a database: the one case where the host
// moves the file aside rather than stopping.
class Unreadable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    const int code = sqlite3_errcode(db) & 0xFF;
    const std::string message = what + ": " + sqlite3_errmsg(db);
    if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT) throw Unreadable(message);
    throw std::runtime_error(message);
}

void exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(db, sql);
}

sqlite3_stmt* prepare_statement(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK)
        fail(db, "not a sitehost history database");
    return statement;
}

// Resets a statement whatever way the caller leaves.
struct StatementUse {
    explicit StatementUse(sqlite3_stmt* s) : statement(s) {}
    ~StatementUse() {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
    sqlite3_stmt* statement;
};

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

std::string aside_name(const std::string& path) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return path + ".unreadable-" + stamp;
}

// Moves the database and its journal files aside; a stale WAL must not meet a new database.
void move_aside(const std::string& path, const std::string& aside) {
    if (std::rename(path.c_str(), aside.c_str()) != 0)
        throw std::runtime_error(path + ": cannot be read and cannot be moved aside");
    for (const char* suffix : {"-wal", "-shm"}) std::rename((path + suffix).c_str(), (aside + suffix).c_str());
}

sqlite3* open_connection(const std::string& path, HistoryStore::Mode mode) {
    const int flags = mode == HistoryStore::Mode::ReadOnly ? SQLITE_OPEN_READONLY
                                                           : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string message = path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "cannot open");
        sqlite3_close(db);
        throw std::runtime_error(message);
    }
    sqlite3_busy_timeout(db, 2000);
    try {
        if (mode == HistoryStore::Mode::ReadWrite) {
            exec(db, "PRAGMA journal_mode=WAL");
            exec(db, "PRAGMA synchronous=NORMAL");
            // The host only appends and reads newest rows: a small page cache keeps its memory flat.
            exec(db, "PRAGMA cache_size=-256");
            exec(db, kSchema);
        }
        exec(db, "SELECT max(id) FROM history");
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
    return db;
}

}  // namespace

std::unique_ptr<HistoryStore> HistoryStore::open(const std::string& path, Mode mode, std::string* notice) {
    std::unique_ptr<HistoryStore> store;
    try {
        store.reset(new HistoryStore(open_connection(path, mode)));
    } catch (const Unreadable& e) {
        if (mode == Mode::ReadOnly) throw std::runtime_error(path + ": " + e.what());
        const std::string aside = aside_name(path);
        move_aside(path, aside);
        if (notice != nullptr)
            *notice = path + " could not be read (" + e.what() + "); moved it to " + aside + " and started anew";
        store.reset(new HistoryStore(open_connection(path, mode)));
    }
    try {
        store->prepare();
    } catch (const Unreadable& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
    return store;
}

HistoryStore::HistoryStore(sqlite3* db) : db_(db) {}

HistoryStore::~HistoryStore() {
    sqlite3_finalize(insert_);
    sqlite3_finalize(newest_);
    sqlite3_close(db_);
}

void HistoryStore::prepare() {
    insert_ = prepare_statement(db_, "INSERT INTO history(device, record, saved_at, image) VALUES (?1, ?2, ?3, ?4)");
    newest_ = prepare_statement(db_,
                                "SELECT id, device, record, saved_at, image FROM history WHERE device = ?1 "
                                "ORDER BY id DESC LIMIT 1");
}

void HistoryStore::save(unsigned device, int record, const std::vector<std::uint8_t>& image, std::int64_t savedAtMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    StatementUse use(insert_);
    sqlite3_bind_int64(insert_, 1, device);
    sqlite3_bind_int(insert_, 2, record);
    sqlite3_bind_int64(insert_, 3, savedAtMs);
    sqlite3_bind_blob(insert_, 4, image.data(), static_cast<int>(image.size()), SQLITE_STATIC);
    if (sqlite3_step(insert_) != SQLITE_DONE) fail(db_, "saving an image of device " + std::to_string(device));
}

std::optional<StoredImage> HistoryStore::newest(unsigned device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    StatementUse use(newest_);
    sqlite3_bind_int64(newest_, 1, device);
    const int step = sqlite3_step(newest_);
    if (step == SQLITE_ROW) return read_row(newest_);
    if (step != SQLITE_DONE) fail(db_, "reading the history of device " + std::to_string(device));
    return std::nullopt;
}

void HistoryStore::for_each(const std::function<void(const StoredImage&)>& visit, std::optional<unsigned> device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const char* sql = device ? "SELECT id, device, record, saved_at, image FROM history WHERE device = ?1 ORDER BY id"
                             : "SELECT id, device, record, saved_at, image FROM history ORDER BY id";
    sqlite3_stmt* rows = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &rows, nullptr) != SQLITE_OK) fail(db_, "listing the history");
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(rows, sqlite3_finalize);
    if (device) sqlite3_bind_int64(rows, 1, *device);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(rows)) == SQLITE_ROW) visit(read_row(rows));
    if (step != SQLITE_DONE) fail(db_, "listing the history");
}

std::size_t HistoryStore::count(std::optional<unsigned> device) const {
    std::size_t n = 0;
    for_each([&n](const StoredImage&) { ++n; }, device);
    return n;
}

HistoryWriter::HistoryWriter(std::shared_ptr<HistoryStore> store, std::function<void(const std::string&)> report)
    : store_(std::move(store)), report_(std::move(report)) {}

void HistoryWriter::on_event(const Event& event) {
    if (event.kind != EventKind::History) return;
    try {
        store_->save(event.device, event.record, event.bytes, now_ms());
        std::lock_guard<std::mutex> lock(mutex_);
        ++saved_;
    } catch (const std::exception& e) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++failed_;
        }
        if (report_) report_(e.what());
    }
}

std::uint64_t HistoryWriter::saved() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return saved_;
}

std::uint64_t HistoryWriter::failed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string local_time_text(std::int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[48];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms % 1000));
    return text;
}

}  // namespace site
