#include "site/store/history_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "site/host/image_layouts.h"

namespace site {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS history ("
    " id INTEGER PRIMARY KEY,"
    " device INTEGER NOT NULL,"
    " record INTEGER NOT NULL,"
    " saved_at INTEGER NOT NULL,"
    " image BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS history_by_device ON history(device, id);"
    "CREATE INDEX IF NOT EXISTS history_by_time ON history(saved_at);"
    "CREATE TABLE IF NOT EXISTS readings ("
    " saved_at TEXT NOT NULL,"
    " device INTEGER NOT NULL,"
    " record INTEGER NOT NULL,"
    " field TEXT NOT NULL,"
    " value REAL);"
    // Device and time first: a round's readings of a unit land side by side in the index, so
    // saving a round touches a few pages rather than one page per field. The field is in the
    // index too, so a query for one field of a unit over a time range never reads the table
    // to find its rows.
    "CREATE INDEX IF NOT EXISTS readings_by_device_time_field ON readings(device, saved_at, field);";

constexpr char kSqliteHeader[] = "SQLite format 3";  // 16 bytes with its terminating zero
// Readings pruned for each image pruned: an image decodes into 15 to 200 fields.
constexpr std::size_t kReadingsPerPrunedImage = 128;

// A SQLite file that is there but fails to open or to pass the integrity check: the one
// case where the host moves the file aside rather than stopping.
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

// BEGIN IMMEDIATE takes the write lock at once (waiting out the busy timeout), so a
// transaction never fails half way for want of it; rolled back unless committed.
class Transaction {
public:
    Transaction(sqlite3* db, const std::string& what) : db_(db), what_(what) {
        if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) fail(db_, what_);
    }
    ~Transaction() {
        if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit() {
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) fail(db_, what_);
        open_ = false;
    }

private:
    sqlite3* db_;
    std::string what_;
    bool open_ = true;
};

// Runs a statement that changes rows; throws naming `what` and the device when it fails.
std::size_t step_change(sqlite3* db, sqlite3_stmt* statement, const char* what,
                        std::optional<unsigned> device = std::nullopt) {
    if (sqlite3_step(statement) != SQLITE_DONE)
        fail(db, device ? what + std::string(" of device ") + std::to_string(*device) : std::string(what));
    return static_cast<std::size_t>(sqlite3_changes(db));
}

void bind_value(sqlite3_stmt* statement, int index, const Json::Value& value) {
    switch (value.type()) {
        case Json::intValue: sqlite3_bind_int64(statement, index, value.asInt64()); break;
        case Json::uintValue: sqlite3_bind_int64(statement, index, static_cast<sqlite3_int64>(value.asUInt64())); break;
        case Json::realValue: sqlite3_bind_double(statement, index, value.asDouble()); break;
        case Json::booleanValue: sqlite3_bind_int(statement, index, value.asBool() ? 1 : 0); break;
        case Json::stringValue: sqlite3_bind_text(statement, index, value.asCString(), -1, SQLITE_TRANSIENT); break;
        default: sqlite3_bind_null(statement, index); break;
    }
}

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

// The descriptor that holds the writer's lock on the database file for as long as the store
// lives. flock() locks are apart from the POSIX locks SQLite takes on the same file, and are
// let go by the kernel when the process ends, however it ends.
class FileLock {
public:
    explicit FileLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ < 0) throw std::runtime_error(path + ": cannot be opened: " + std::strerror(errno));
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
        const int error = errno;
        ::close(fd_);
        if (error == EWOULDBLOCK)
            throw std::runtime_error(path + ": in use by another sitehost (the database is locked)");
        throw std::runtime_error(path + ": cannot be locked: " + std::strerror(error));
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

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
            quick_check(db);
            // The tables first: a database of another program fails here, before anything of it changes.
            exec(db, kSchema);
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

std::string time_text(std::int64_t ms, bool utc, const char* format) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm parts{};
    if (utc) {
        gmtime_r(&seconds, &parts);
    } else {
        localtime_r(&seconds, &parts);
    }
    char text[48];
    const std::size_t n = std::strftime(text, sizeof text, format, &parts);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms % 1000));
    return text;
}

}  // namespace

bool starts_with_sqlite_header(const std::string& path) {
    // Only a regular file is read: opening a FIFO would wait for its writer.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    char head[sizeof kSqliteHeader] = {};
    std::ifstream in(path, std::ios::binary);
    return in.read(head, sizeof head) && std::memcmp(head, kSqliteHeader, sizeof head) == 0;
}

std::string write_refusal(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};  // not there yet: a new database
    if (!S_ISREG(info.st_mode)) return path + ": not a regular file, so not a history database";
    if (info.st_size == 0 || starts_with_sqlite_header(path)) return {};
    return path + ": exists and is not a SQLite database; left untouched (name a new file or a sitehost database)";
}

std::unique_ptr<HistoryStore> HistoryStore::open(const std::string& path, Mode mode, std::string* notice) {
    std::unique_ptr<HistoryStore> store;
    if (mode == Mode::ReadOnly) {
        try {
            store.reset(new HistoryStore(open_connection(path, mode), -1));
            store->prepare();
        } catch (const Unreadable& e) {
            throw std::runtime_error(path + ": " + e.what());
        }
        return store;
    }
    const std::string refusal = write_refusal(path);
    if (!refusal.empty()) throw std::runtime_error(refusal);
    auto lock = std::make_unique<FileLock>(path);
    sqlite3* db = nullptr;
    try {
        db = open_connection(path, mode);
    } catch (const Unreadable& e) {
        const std::string aside = aside_name(path);
        move_aside(path, aside);
        lock = std::make_unique<FileLock>(path);
        if (notice != nullptr)
            *notice = path + " could not be read (" + e.what() + "); moved it to " + aside + " and started anew";
        db = open_connection(path, mode);
    }
    store.reset(new HistoryStore(db, lock->release()));
    try {
        store->prepare();
    } catch (const Unreadable& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
    return store;
}

HistoryStore::HistoryStore(sqlite3* db, int lockFd) : db_(db), lockFd_(lockFd) {}

HistoryStore::~HistoryStore() {
    for (sqlite3_stmt* statement : {insert_, insertReading_, newest_, pruneImages_, pruneReadings_})
        sqlite3_finalize(statement);
    sqlite3_close(db_);
    // Only now: closing any descriptor of the file would drop the locks SQLite holds on it.
    if (lockFd_ >= 0) ::close(lockFd_);
}

void HistoryStore::prepare() {
    newest_ = prepare_statement(db_,
                                "SELECT id, device, record, saved_at, image FROM history WHERE device = ?1 "
                                "ORDER BY id DESC LIMIT 1");
    if (lockFd_ < 0) return;  // a reader writes nothing
    insert_ = prepare_statement(db_, "INSERT INTO history(device, record, saved_at, image) VALUES (?1, ?2, ?3, ?4)");
    insertReading_ = prepare_statement(
        db_, "INSERT INTO readings(saved_at, device, record, field, value) VALUES (?1, ?2, ?3, ?4, ?5)");
    // Rows are appended in time order: the oldest are at the front, and a batch taken from
    // there costs the same however large the tables have grown.
    pruneImages_ = prepare_statement(
        db_, "DELETE FROM history WHERE id IN (SELECT id FROM history ORDER BY id LIMIT ?2) AND saved_at < ?1");
    pruneReadings_ = prepare_statement(db_,
                                       "DELETE FROM readings WHERE rowid IN (SELECT rowid FROM readings ORDER BY "
                                       "rowid LIMIT ?2) AND saved_at < ?1");
}

void HistoryStore::save_round(const std::vector<UnitImage>& images, std::int64_t savedAtMs) {
    if (insert_ == nullptr) throw std::runtime_error("the history database is open for reading only");
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction transaction(db_, "saving a round");
    const std::string savedAt = utc_time_text(savedAtMs);
    for (const UnitImage& unit : images) {
        StatementUse use(insert_);
        sqlite3_bind_int64(insert_, 1, unit.device);
        sqlite3_bind_int(insert_, 2, unit.record);
        sqlite3_bind_int64(insert_, 3, savedAtMs);
        sqlite3_bind_blob(insert_, 4, unit.image.data(), static_cast<int>(unit.image.size()), SQLITE_STATIC);
        step_change(db_, insert_, "saving an image", unit.device);
        insert_readings(unit, savedAt);
    }
    transaction.commit();
}

// An image that does not fit its layout is kept in `history` only.
void HistoryStore::insert_readings(const UnitImage& unit, const std::string& savedAt) {
    const DecodedImage decoded = decode_image(unit.record, unit.image);
    if (!decoded.ok) return;
    for_each_leaf(decoded.fields, [&](const std::string& field, const Json::Value& value) {
        StatementUse use(insertReading_);
        sqlite3_bind_text(insertReading_, 1, savedAt.c_str(), static_cast<int>(savedAt.size()), SQLITE_STATIC);
        sqlite3_bind_int64(insertReading_, 2, unit.device);
        sqlite3_bind_int(insertReading_, 3, unit.record);
        sqlite3_bind_text(insertReading_, 4, field.c_str(), static_cast<int>(field.size()), SQLITE_STATIC);
        bind_value(insertReading_, 5, value);
        step_change(db_, insertReading_, "saving the readings", unit.device);
    });
}

void HistoryStore::save(unsigned device, int record, const std::vector<std::uint8_t>& image, std::int64_t savedAtMs) {
    save_round({UnitImage{device, record, image}}, savedAtMs);
}

std::size_t HistoryStore::prune(std::int64_t beforeMs, std::size_t batch) {
    if (pruneImages_ == nullptr) throw std::runtime_error("the history database is open for reading only");
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction transaction(db_, "pruning old history");
    const std::string before = utc_time_text(beforeMs);
    std::size_t removed = 0;
    {
        StatementUse use(pruneImages_);
        sqlite3_bind_int64(pruneImages_, 1, beforeMs);
        sqlite3_bind_int64(pruneImages_, 2, static_cast<sqlite3_int64>(batch));
        removed += step_change(db_, pruneImages_, "pruning old images");
    }
    {
        StatementUse use(pruneReadings_);
        sqlite3_bind_text(pruneReadings_, 1, before.c_str(), static_cast<int>(before.size()), SQLITE_STATIC);
        sqlite3_bind_int64(pruneReadings_, 2, static_cast<sqlite3_int64>(batch * kReadingsPerPrunedImage));
        removed += step_change(db_, pruneReadings_, "pruning old readings");
    }
    transaction.commit();
    return removed;
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

void HistoryStore::scan(const HistoryFilter& filter, const std::function<bool(const StoredImage&)>& visit) const {
    std::string sql = "SELECT id, device, record, saved_at, image FROM history WHERE 1";
    if (filter.device) sql += " AND device = ?1";
    if (filter.sinceMs) sql += " AND saved_at >= ?2";
    if (filter.untilMs) sql += " AND saved_at < ?3";
    sql += filter.newestFirst ? " ORDER BY id DESC" : " ORDER BY id";
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_stmt* rows = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &rows, nullptr) != SQLITE_OK) fail(db_, "listing the history");
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(rows, sqlite3_finalize);
    if (filter.device) sqlite3_bind_int64(rows, 1, *filter.device);
    if (filter.sinceMs) sqlite3_bind_int64(rows, 2, *filter.sinceMs);
    if (filter.untilMs) sqlite3_bind_int64(rows, 3, *filter.untilMs);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(rows)) == SQLITE_ROW)
        if (!visit(read_row(rows))) return;
    if (step != SQLITE_DONE) fail(db_, "listing the history");
}

void HistoryStore::for_each(const std::function<void(const StoredImage&)>& visit, std::optional<unsigned> device) const {
    HistoryFilter filter;
    filter.device = device;
    scan(filter, [&visit](const StoredImage& stored) {
        visit(stored);
        return true;
    });
}

namespace {

std::size_t count_rows(sqlite3* db, const char* sql, std::optional<unsigned> device) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) fail(db, "counting the history");
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(statement, sqlite3_finalize);
    if (device) sqlite3_bind_int64(statement, 1, *device);
    if (sqlite3_step(statement) != SQLITE_ROW) fail(db, "counting the history");
    return static_cast<std::size_t>(sqlite3_column_int64(statement, 0));
}

}  // namespace

std::size_t HistoryStore::count(std::optional<unsigned> device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_rows(db_, device ? "SELECT count(*) FROM history WHERE device = ?1" : "SELECT count(*) FROM history",
                      device);
}

std::size_t HistoryStore::reading_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_rows(db_, "SELECT count(*) FROM readings", std::nullopt);
}

// ---- HistoryWriter ----

namespace {

// Old rows pruned after each round written: far more than a round adds, so pruning catches
// up, yet each batch holds the database only briefly.
constexpr std::size_t kPruneBatch = 20;
constexpr std::int64_t kDayMs = 86'400'000;

std::string round_title(unsigned system, std::int64_t savedAtMs, std::size_t images) {
    return "the round of " + local_time_text(savedAtMs) + " of power system " + std::to_string(system) + " (" +
           std::to_string(images) + " images)";
}

}  // namespace

HistoryWriter::HistoryWriter(std::shared_ptr<HistoryStore> store, std::function<void(const std::string&)> report,
                             HistoryWriterOptions options)
    : store_(std::move(store)),
      report_(report ? std::move(report) : [](const std::string&) {}),
      options_(options),
      thread_([this] { run(); }) {}

HistoryWriter::~HistoryWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void HistoryWriter::add_system(unsigned system, const std::vector<unsigned>& units) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const unsigned unit : units) systemOf_[unit] = system;
}

void HistoryWriter::save_image(unsigned device, int record, const unsigned char* image, std::size_t size) {
    const auto append = [&](Round& round, unsigned system) {
        round.system = system;
        round.bytes += size;
        round.images.push_back(UnitImage{device, record, std::vector<std::uint8_t>(image, image + size)});
    };
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = systemOf_.find(device);
    if (found != systemOf_.end()) {
        append(open_[found->second], found->second);
        return;
    }
    Round single;
    append(single, device);
    single.savedAtMs = now_ms();
    queue_round(std::move(single));
}

void HistoryWriter::end_round(unsigned system, std::int64_t savedAtMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = open_.find(system);
    if (found == open_.end()) return;
    Round round = std::move(found->second);
    open_.erase(found);
    round.savedAtMs = savedAtMs;
    queue_round(std::move(round));
}

// Called with the mutex held.
void HistoryWriter::queue_round(Round round) {
    waitingBytes_ += round.bytes;
    waiting_.push_back(std::move(round));
    while (waitingBytes_ > options_.maxWaitingBytes && waiting_.size() > 1) {
        const Round oldest = std::move(waiting_.front());
        waiting_.pop_front();
        waitingBytes_ -= oldest.bytes;
        give_up(oldest, "the rounds waiting to be saved exceed " +
                            std::to_string(options_.maxWaitingBytes >> 20) + " MiB (" + failure_ + ")");
    }
    wake_.notify_all();
}

// Called with the mutex held.
void HistoryWriter::give_up(const Round& round, const std::string& why) {
    failed_ += round.images.size();
    report_(round_title(round.system, round.savedAtMs, round.images.size()) + " is lost: " + why);
}

void HistoryWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_) break;
        Round round = std::move(waiting_.front());
        waiting_.pop_front();
        waitingBytes_ -= round.bytes;
        writing_ = true;
        lock.unlock();
        const std::string error = write(round);
        if (error.empty()) prune();
        lock.lock();
        writing_ = false;
        if (error.empty()) {
            saved_ += round.images.size();
            if (!failure_.empty()) {
                const auto waited = std::chrono::steady_clock::now() - failingSince_;
                report_("saving again after " +
                        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(waited).count()) +
                        " s; the rounds kept meanwhile are saved");
                failure_.clear();
            }
        } else if (givingUp_) {
            give_up(round, error);
        } else {
            if (failure_.empty()) {
                report_("cannot save " + round_title(round.system, round.savedAtMs, round.images.size()) + " yet (" +
                        error + "); keeping the rounds and retrying");
                failingSince_ = std::chrono::steady_clock::now();
            }
            failure_ = error;
            waitingBytes_ += round.bytes;
            waiting_.push_front(std::move(round));
            wake_.wait_for(lock, options_.retryPause, [this] { return stopping_ || givingUp_; });
        }
        idle_.notify_all();
    }
    for (const Round& round : waiting_) failed_ += round.images.size();
    waiting_.clear();
    idle_.notify_all();
}

std::string HistoryWriter::write(const Round& round) {
    try {
        store_->save_round(round.images, round.savedAtMs);
        return {};
    } catch (const std::exception& e) {
        return e.what();
    }
}

// On the writer's thread only.
void HistoryWriter::prune() {
    if (options_.keepDays == 0) return;
    try {
        store_->prune(now_ms() - std::int64_t{options_.keepDays} * kDayMs, kPruneBatch);
        pruneFailing_ = false;
    } catch (const std::exception& e) {
        if (!pruneFailing_) report_(std::string("pruning old history failed: ") + e.what());
        pruneFailing_ = true;
    }
}

bool HistoryWriter::flush(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Images of a round whose end never came (none in a normal run) are not left behind.
    for (auto& entry : open_) {
        entry.second.savedAtMs = now_ms();
        queue_round(std::move(entry.second));
    }
    open_.clear();
    const auto done = [this] { return waiting_.empty() && !writing_; };
    if (idle_.wait_for(lock, limit, done)) return true;
    givingUp_ = true;
    const std::string why = "not saved by the time the host stopped" + (failure_.empty() ? "" : " (" + failure_ + ")");
    for (const Round& round : waiting_) give_up(round, why);
    waiting_.clear();
    waitingBytes_ = 0;
    wake_.notify_all();
    idle_.wait(lock, done);
    givingUp_ = false;
    return false;
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

std::string local_time_text(std::int64_t ms) { return time_text(ms, false, "%Y-%m-%d %H:%M:%S"); }

std::string utc_time_text(std::int64_t ms) { return time_text(ms, true, "%Y-%m-%dT%H:%M:%S") + "+00:00"; }

namespace {

// Reads `count` digits at `pos` into `value`.
bool read_digits(const std::string& text, std::size_t& pos, int count, int& value) {
    if (pos + static_cast<std::size_t>(count) > text.size()) return false;
    value = 0;
    for (int i = 0; i < count; ++i, ++pos) {
        if (text[pos] < '0' || text[pos] > '9') return false;
        value = value * 10 + (text[pos] - '0');
    }
    return true;
}

bool read_char(const std::string& text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

// "Z", "+HH:MM", "+HHMM" or "-..." at `pos`: seconds east of UTC.
bool read_offset(const std::string& text, std::size_t& pos, long& seconds) {
    if (read_char(text, pos, 'Z')) return true;
    const bool east = read_char(text, pos, '+');
    if (!east && !read_char(text, pos, '-')) return false;
    int hours = 0;
    int minutes = 0;
    if (!read_digits(text, pos, 2, hours)) return false;
    read_char(text, pos, ':');
    if (!read_digits(text, pos, 2, minutes) || hours > 23 || minutes > 59) return false;
    seconds = (east ? 1 : -1) * (hours * 3600L + minutes * 60L);
    return true;
}

}  // namespace

std::optional<std::int64_t> parse_time_text(const std::string& text) {
    std::size_t pos = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    if (!read_digits(text, pos, 4, year) || !read_char(text, pos, '-') || !read_digits(text, pos, 2, month) ||
        !read_char(text, pos, '-') || !read_digits(text, pos, 2, day))
        return std::nullopt;
    if (read_char(text, pos, 'T') || read_char(text, pos, ' ')) {
        if (!read_digits(text, pos, 2, hour) || !read_char(text, pos, ':') || !read_digits(text, pos, 2, minute))
            return std::nullopt;
        if (read_char(text, pos, ':') && !read_digits(text, pos, 2, second)) return std::nullopt;
        if (read_char(text, pos, '.')) {
            int digit = 0;
            int scale = 100;
            if (!read_digits(text, pos, 1, digit)) return std::nullopt;
            do {
                millis += digit * scale;
                scale /= 10;
            } while (read_digits(text, pos, 1, digit));
        }
    }
    long offset = 0;
    const bool local = pos == text.size();
    if (!local && (!read_offset(text, pos, offset) || pos != text.size())) return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    const std::time_t seconds = local ? std::mktime(&parts) : timegm(&parts) - offset;
    if (parts.tm_mday != day) return std::nullopt;  // 31 April and the like
    return static_cast<std::int64_t>(seconds) * 1000 + millis;
}

}  // namespace site
