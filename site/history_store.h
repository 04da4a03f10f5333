#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "site/events.h"

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

// Device history in SQLite, one row per saved image. Safe to use from several threads.
class HistoryStore {
public:
    enum class Mode { ReadWrite, ReadOnly };

    // Opens or creates the database. In ReadWrite mode a file that is not a usable database
    // is moved aside (to PATH.unreadable-<time>) and a new one started; `notice` then says
    // so. Throws std::runtime_error when no database can be had at all.
    static std::unique_ptr<HistoryStore> open(const std::string& path, Mode mode = Mode::ReadWrite,
                                              std::string* notice = nullptr);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Throws std::runtime_error when the row could not be written.
    void save(unsigned device, int record, const std::vector<std::uint8_t>& image, std::int64_t savedAtMs);
    // The newest image of the unit, if any. Throws std::runtime_error on a read error.
    std::optional<StoredImage> newest(unsigned device) const;
    // Every image in the order saved, optionally of one unit only.
    void for_each(const std::function<void(const StoredImage&)>& visit,
                  std::optional<unsigned> device = std::nullopt) const;
    std::size_t count(std::optional<unsigned> device = std::nullopt) const;

private:
    explicit HistoryStore(sqlite3* db);
    void prepare();

    mutable std::mutex mutex_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* newest_ = nullptr;
};

// Writes every History event into the store; a row that cannot be written is reported
// through `report` and the host goes on.
class HistoryWriter : public Observer {
public:
    HistoryWriter(std::shared_ptr<HistoryStore> store, std::function<void(const std::string&)> report);
    void on_event(const Event& event) override;
    std::uint64_t saved() const;
    std::uint64_t failed() const;

private:
    std::shared_ptr<HistoryStore> store_;
    std::function<void(const std::string&)> report_;
    mutable std::mutex mutex_;
    std::uint64_t saved_ = 0;
    std::uint64_t failed_ = 0;
};

std::int64_t now_ms();
// Local time "YYYY-MM-DD HH:MM:SS.mmm".
std::string local_time_text(std::int64_t ms);

}  // namespace site
