#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "site/store/database_file.h"
#include "site/host/time_text.h"
#include "site/store/value_history.h"

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

// An alarm of a unit that went active or inactive in a round.
struct AlarmChange {
    unsigned device = 0;
    bool raised = false;
    std::string key;
    std::string code;
    std::string text;
    int level = 0;
};

// Which saved images to visit.
struct HistoryFilter {
    std::optional<unsigned> device;
    std::optional<std::int64_t> sinceMs;  // saved at or after
    std::optional<std::int64_t> untilMs;  // saved before
    bool newestFirst = false;
};

// Where each kind of row starts to be old (milliseconds since the epoch; 0 keeps all).
struct RetentionCut {
    std::int64_t imagesBeforeMs = 0;
    std::int64_t samplesBeforeMs = 0;
    std::int64_t longTermBeforeMs = 0;  // trends, changes and alarms
};

// Device history in SQLite: the whole images of each round in `history`, their values in the
// value tables (see ValueHistory) and the alarm changes in `alarms`. Safe to use from several
// threads.
class HistoryStore {
public:
    enum class Mode { ReadWrite, ReadOnly };

    // Opens or creates the database. ReadWrite mode refuses an existing file that is not the
    // host's (see write_refusal), locks the file against a second writer, and runs a quick
    // integrity check; a SQLite file that fails it is moved aside (to
    // PATH.unreadable-<time>) and a new one started; `notice` then says so. A database of the
    // host from before the current tables gets them, and keeps its rows. Throws
    // std::runtime_error naming the file when no database can be had at all.
    static std::unique_ptr<HistoryStore> open(const std::string& path, Mode mode = Mode::ReadWrite,
                                              std::string* notice = nullptr, ValuePolicy policy = {});
    // Writes the trend intervals still open.
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Saves a round's images, their values and its alarm changes in one transaction: all of
    // them or none. Throws std::runtime_error when the round could not be written (nothing of
    // it is kept).
    void save_round(const std::vector<UnitImage>& images, std::int64_t savedAtMs,
                    const std::vector<AlarmChange>& alarms = {});
    // A round of one image.
    void save(unsigned device, int record, const std::vector<std::uint8_t>& image, std::int64_t savedAtMs);
    // Deletes old rows in one short transaction: up to `batch` of the oldest images before
    // the cut, and samples from the oldest on; trends, changes and alarms at most once an
    // hour. Rows are taken oldest first, so a caller that repeats this catches up without
    // ever holding the database for long. How many rows went.
    std::size_t prune(const RetentionCut& cut, std::size_t batch);
    // When the file was deleted or replaced since it was opened: starts a new database at the
    // path and says so. Empty while the file is the one open. Throws when no new one can be
    // had (the store then stays on the old file and is asked again).
    std::string reopen_if_gone();

    // The newest image of the unit, if any. Throws std::runtime_error on a read error.
    std::optional<StoredImage> newest(unsigned device) const;
    // The images the filter selects, oldest first unless it says otherwise, until `visit`
    // returns false. Throws std::runtime_error on a read error, after the rows read so far.
    void scan(const HistoryFilter& filter, const std::function<bool(const StoredImage&)>& visit) const;
    // Every image in the order saved, optionally of one unit only.
    void for_each(const std::function<void(const StoredImage&)>& visit,
                  std::optional<unsigned> device = std::nullopt) const;
    std::size_t count(std::optional<unsigned> device = std::nullopt) const;
    // Rows in one of the store's tables.
    std::size_t row_count(const std::string& table) const;

private:
    struct Connection;
    HistoryStore(std::string path, Mode mode, ValuePolicy policy);
    void connect(std::string* notice);
    // The open database, opened again when it was lost; with the mutex held.
    Connection& writable();
    Connection& readable() const;

    std::string path_;
    Mode mode_;
    ValuePolicy policy_;
    mutable std::mutex mutex_;
    std::unique_ptr<Connection> connection_;
    std::int64_t longTermPrunedAtMs_ = 0;
};

}  // namespace site
