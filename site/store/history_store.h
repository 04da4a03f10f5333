#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "site/host/history_sink.h"

struct sqlite3;
struct sqlite3_stmt;

namespace site {

// One saved image: the unit's data id, the record id it was published under, when the host
// saved it (milliseconds since the epoch) and the image itself.
struct StoredImage {
    std::int64_t id = 0;
    unsigned device = 0;
    int record = 0;
    std::int64_t savedAtMs = 0;
    std::vector<std::uint8_t> image;
};

// One unit's image of a round, to be saved.
struct UnitImage {
    unsigned device = 0;
    int record = 0;
    std::vector<std::uint8_t> image;
};

// Which saved images to visit.
struct HistoryFilter {
    std::optional<unsigned> device;
    std::optional<std::int64_t> sinceMs;  // saved at or after
    std::optional<std::int64_t> untilMs;  // saved before
    bool newestFirst = false;
};

// Device history in SQLite: one row per saved image in `history`, and one row per decoded
// field of each image in `readings` (saved_at, device, record, field, value) for tools that
// read values directly. Safe to use from several threads.
class HistoryStore {
public:
    enum class Mode { ReadWrite, ReadOnly };

    // Opens or creates the database. ReadWrite mode refuses an existing file that is not a
    // SQLite database (see write_refusal), locks the file against a second writer, and runs a
    // quick integrity check; a SQLite file that fails it is moved aside (to
    // PATH.unreadable-<time>) and a new one started; `notice` then says so. Throws
    // std::runtime_error naming the file when no database can be had at all.
    static std::unique_ptr<HistoryStore> open(const std::string& path, Mode mode = Mode::ReadWrite,
                                              std::string* notice = nullptr);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Saves a round's images and their readings in one transaction: all of them or none.
    // Throws std::runtime_error when the round could not be written (nothing of it is kept).
    void save_round(const std::vector<UnitImage>& images, std::int64_t savedAtMs);
    // A round of one image.
    void save(unsigned device, int record, const std::vector<std::uint8_t>& image, std::int64_t savedAtMs);
    // Deletes up to `batch` of the oldest images saved before `beforeMs`, and a proportionate
    // batch of their readings, in one short transaction. Rows are taken oldest first, so a
    // caller that repeats this catches up without ever holding the database for long.
    // Returns how many rows went.
    std::size_t prune(std::int64_t beforeMs, std::size_t batch);

    // The newest image of the unit, if any. Throws std::runtime_error on a read error.
    std::optional<StoredImage> newest(unsigned device) const;
    // The images the filter selects, oldest first unless it says otherwise, until `visit`
    // returns false. Throws std::runtime_error on a read error, after the rows read so far.
    void scan(const HistoryFilter& filter, const std::function<bool(const StoredImage&)>& visit) const;
    // Every image in the order saved, optionally of one unit only.
    void for_each(const std::function<void(const StoredImage&)>& visit,
                  std::optional<unsigned> device = std::nullopt) const;
    std::size_t count(std::optional<unsigned> device = std::nullopt) const;
    std::size_t reading_count() const;

private:
    HistoryStore(sqlite3* db, int lockFd);
    void prepare();
    void insert_readings(const UnitImage& unit, const std::string& savedAt);

    mutable std::mutex mutex_;
    sqlite3* db_ = nullptr;
    int lockFd_ = -1;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* insertReading_ = nullptr;
    sqlite3_stmt* newest_ = nullptr;
    sqlite3_stmt* pruneImages_ = nullptr;
    sqlite3_stmt* pruneReadings_ = nullptr;
};

// Why the host must not open `path` as its database for writing, or empty when it may: an
// existing file that is not a regular file, or not empty and not starting with the SQLite
// header. Such a file is never moved aside or written.
std::string write_refusal(const std::string& path);
// Whether the file starts with the 16-byte SQLite header.
bool starts_with_sqlite_header(const std::string& path);

struct HistoryWriterOptions {
    unsigned keepDays = 0;  // images older than this many days are pruned; 0 keeps all
    std::size_t maxWaitingBytes = std::size_t{64} << 20;
    std::chrono::milliseconds retryPause{250};
};

// Writes the images it is handed into the store, one transaction per round, on its own thread so
// that a busy or slow database never holds up polling or alarms. A round that cannot be
// written (another process holds the database, the disk is full) is kept and retried, oldest
// first, until it can; it is only given up when the rounds waiting exceed `maxWaitingBytes`
// or when flush() runs out of time. Both count as failed and are reported through `report`.
class HistoryWriter : public HistorySink {
public:
    HistoryWriter(std::shared_ptr<HistoryStore> store, std::function<void(const std::string&)> report,
                  HistoryWriterOptions options = {});
    ~HistoryWriter() override;
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // The units whose images make up one round of power system `system`. The images of a
    // unit of no system are each written as a round of their own.
    void add_system(unsigned system, const std::vector<unsigned>& units);
    void save_image(unsigned device, int record, const unsigned char* image, std::size_t size) override;
    // The system's images since its last round end are one round, saved at `savedAtMs`.
    void end_round(unsigned system, std::int64_t savedAtMs);
    // Waits up to `limit` for every round handed over to be written; what is still waiting
    // then is given up. True when nothing was given up.
    bool flush(std::chrono::milliseconds limit);

    std::uint64_t saved() const;
    std::uint64_t failed() const;

private:
    struct Round {
        unsigned system = 0;
        std::int64_t savedAtMs = 0;
        std::vector<UnitImage> images;
        std::size_t bytes = 0;
    };

    void queue_round(Round round);
    void give_up(const Round& round, const std::string& why);
    void run();
    // Empty when the round was written, else why not.
    std::string write(const Round& round);
    void prune();

    std::shared_ptr<HistoryStore> store_;
    std::function<void(const std::string&)> report_;
    HistoryWriterOptions options_;
    std::unordered_map<unsigned, unsigned> systemOf_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::unordered_map<unsigned, Round> open_;  // by system: images of the round under way
    std::deque<Round> waiting_;
    std::size_t waitingBytes_ = 0;
    bool writing_ = false;
    bool stopping_ = false;
    bool givingUp_ = false;
    std::string failure_;  // why the oldest waiting round could not be written; empty while saving works
    std::chrono::steady_clock::time_point failingSince_{};
    bool pruneFailing_ = false;
    std::uint64_t saved_ = 0;
    std::uint64_t failed_ = 0;
    std::thread thread_;
};

std::int64_t now_ms();
// Local time "YYYY-MM-DD HH:MM:SS.mmm".
std::string local_time_text(std::int64_t ms);
// UTC in ISO 8601 with its offset, "YYYY-MM-DDTHH:MM:SS.mmm+00:00": sorts as text in time order.
std::string utc_time_text(std::int64_t ms);
// Reads "YYYY-MM-DD", optionally followed by "THH:MM" or " HH:MM", ":SS", ".fff", and "Z" or
// an offset "+HH:MM"; without an offset the time is local. Milliseconds since the epoch, or
// nothing when the text is not such a time.
std::optional<std::int64_t> parse_time_text(const std::string& text);

}  // namespace site
