#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace site {

// How the values of the images are kept.
struct ValuePolicy {
    std::int64_t intervalMs = 5 * 60'000;    // analog minimum, mean and maximum per this much time
    std::int64_t keepAliveMs = 60 * 60'000;  // a value that has not changed is written again after this
};

// The values of the units' images in the tables `series`, `samples`, `trends` and `changes`:
// only the fields a unit really has; analog values every round and per interval; the rest
// when they change. Keeps what it last wrote of each series, so that a round costs a row per
// analog value and almost nothing else. One per connection, on the thread that writes.
class ValueHistory {
public:
    ValueHistory(sqlite3* db, ValuePolicy policy);
    ~ValueHistory();
    ValueHistory(const ValueHistory&) = delete;
    ValueHistory& operator=(const ValueHistory&) = delete;

    // One unit's image of a round saved at `atMs`, inside the caller's transaction. An image
    // that does not fit its layout adds no values.
    void save(unsigned device, int record, const std::vector<std::uint8_t>& image, std::int64_t atMs);
    // Writes the intervals still open, inside the caller's transaction: the host is stopping.
    // A later run that adds to the same interval merges into its row.
    void close_intervals();
    // Deletes up to `sampleBatch` of the oldest samples before `samplesBeforeMs`; and, when
    // `longTermBeforeMs` is given, the trends and changes before that. Rows deleted.
    std::size_t prune(std::int64_t samplesBeforeMs, std::size_t sampleBatch, std::int64_t longTermBeforeMs);

private:
    struct Interval {
        std::int64_t start = -1;  // none open
        double min = 0;
        double max = 0;
        double sum = 0;
        std::int64_t n = 0;
    };
    struct Series {
        std::int64_t id = 0;
        bool analog = false;
        bool written = false;  // in this run
        double last = 0;       // NaN: null
        std::int64_t writtenAtMs = 0;
        Interval interval;
    };
    using DeviceSeries = std::map<std::string, Series, std::less<>>;

    void load_series();
    Series& series_of(unsigned device, int record, std::string_view field, bool analog);
    void sample(Series& series, double value, bool integer, std::int64_t atMs);
    void change(Series& series, double value, bool integer, std::int64_t atMs);
    void write_interval(const Series& series);

    sqlite3* db_;
    ValuePolicy policy_;
    std::unordered_map<unsigned, DeviceSeries> series_;
    sqlite3_stmt* insertSeries_ = nullptr;
    sqlite3_stmt* insertSample_ = nullptr;
    sqlite3_stmt* insertChange_ = nullptr;
    sqlite3_stmt* mergeTrend_ = nullptr;
    sqlite3_stmt* pruneSamples_ = nullptr;
    sqlite3_stmt* pruneTrends_ = nullptr;
    sqlite3_stmt* pruneChanges_ = nullptr;
};

}  // namespace site
