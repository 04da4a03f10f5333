#include "site/store/value_history.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "site/host/image_layouts.h"
#include "site/store/sqlite_use.h"

namespace site {
namespace {

// User-defined parameters of the rectifier group: settings, not measurements.
constexpr std::string_view kParameterPrefix = "p42_46_value";

bool is_analog(const ImageValue& value) {
    return value.type == FieldType::F32 && value.path.substr(0, kParameterPrefix.size()) != kParameterPrefix;
}

void bind_number(sqlite3_stmt* statement, int index, double value, bool integer) {
    if (std::isnan(value)) {
        sqlite3_bind_null(statement, index);
    } else if (integer) {
        sqlite3_bind_int64(statement, index, static_cast<sqlite3_int64>(value));
    } else {
        sqlite3_bind_double(statement, index, value);
    }
}

bool same_value(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

ValueHistory::ValueHistory(sqlite3* db, ValuePolicy policy) : db_(db), policy_(policy) {
    insertSeries_ = prepare_statement(db_, "INSERT INTO series(device, record, field, analog) VALUES (?1, ?2, ?3, ?4)");
    insertSample_ = prepare_statement(db_, "INSERT OR REPLACE INTO samples(t, series, value) VALUES (?1, ?2, ?3)");
    insertChange_ = prepare_statement(db_, "INSERT OR REPLACE INTO changes(series, t, value) VALUES (?1, ?2, ?3)");
    mergeTrend_ = prepare_statement(
        db_,
        "INSERT INTO trends(series, t, min, mean, max, n) VALUES (?1, ?2, ?3, ?4, ?5, ?6) "
        "ON CONFLICT(series, t) DO UPDATE SET min = min(min, excluded.min), max = max(max, excluded.max), "
        "mean = (mean * n + excluded.mean * excluded.n) / (n + excluded.n), n = n + excluded.n");
    // The oldest samples are at the front of the table: a batch taken from there costs the
    // same however large it has grown.
    pruneSamples_ = prepare_statement(
        db_,
        "DELETE FROM samples WHERE (t, series) IN (SELECT t, series FROM samples WHERE t < ?1 ORDER BY t LIMIT ?2)");
    pruneTrends_ = prepare_statement(db_, "DELETE FROM trends WHERE series = ?1 AND t < ?2");
    pruneChanges_ = prepare_statement(db_, "DELETE FROM changes WHERE series = ?1 AND t < ?2");
    load_series();
}

ValueHistory::~ValueHistory() {
    for (sqlite3_stmt* statement :
         {insertSeries_, insertSample_, insertChange_, mergeTrend_, pruneSamples_, pruneTrends_, pruneChanges_})
        sqlite3_finalize(statement);
}

void ValueHistory::load_series() {
    sqlite3_stmt* rows = nullptr;
    const char* sql = "SELECT id, device, field, analog FROM series";
    if (sqlite3_prepare_v2(db_, sql, -1, &rows, nullptr) != SQLITE_OK) fail(db_, "reading the series");
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(rows, sqlite3_finalize);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(rows)) == SQLITE_ROW) {
        Series& series = series_[static_cast<unsigned>(sqlite3_column_int64(rows, 1))]
                                [reinterpret_cast<const char*>(sqlite3_column_text(rows, 2))];
        series.id = sqlite3_column_int64(rows, 0);
        series.analog = sqlite3_column_int(rows, 3) != 0;
    }
    if (step != SQLITE_DONE) fail(db_, "reading the series");
}

ValueHistory::Series& ValueHistory::series_of(unsigned device, int record, std::string_view field, bool analog) {
    DeviceSeries& ofDevice = series_[device];
    const auto found = ofDevice.find(field);
    if (found != ofDevice.end()) return found->second;
    StatementUse use(insertSeries_);
    sqlite3_bind_int64(insertSeries_, 1, device);
    sqlite3_bind_int(insertSeries_, 2, record);
    sqlite3_bind_text(insertSeries_, 3, field.data(), static_cast<int>(field.size()), SQLITE_STATIC);
    sqlite3_bind_int(insertSeries_, 4, analog ? 1 : 0);
    step_change(db_, insertSeries_, "adding a field of device " + std::to_string(device));
    Series& series = ofDevice[std::string(field)];
    series.id = sqlite3_last_insert_rowid(db_);
    series.analog = analog;
    return series;
}

void ValueHistory::save(unsigned device, int record, const std::vector<std::uint8_t>& image, std::int64_t atMs) {
    for_each_value(record, image, [&](const ImageValue& value) {
        if (value.type == FieldType::Time) return;  // the time saved stands for the unit's own
        const bool analog = is_analog(value);
        Series& series = series_of(device, record, value.path, analog);
        const bool integer = value.type != FieldType::F32;
        if (series.analog) {
            sample(series, value.number, integer, atMs);
        } else {
            change(series, value.number, integer, atMs);
        }
    });
}

void ValueHistory::sample(Series& series, double value, bool integer, std::int64_t atMs) {
    StatementUse use(insertSample_);
    sqlite3_bind_int64(insertSample_, 1, atMs);
    sqlite3_bind_int64(insertSample_, 2, series.id);
    bind_number(insertSample_, 3, value, integer);
    step_change(db_, insertSample_, "saving the samples");
    if (std::isnan(value)) return;
    const std::int64_t start = atMs - atMs % policy_.intervalMs;
    Interval& interval = series.interval;
    if (interval.start != start) {
        if (interval.start >= 0) write_interval(series);
        interval = Interval{start, value, value, 0, 0};
    }
    interval.min = std::min(interval.min, value);
    interval.max = std::max(interval.max, value);
    interval.sum += value;
    ++interval.n;
}

void ValueHistory::change(Series& series, double value, bool integer, std::int64_t atMs) {
    const bool due =
        !series.written || !same_value(series.last, value) || atMs - series.writtenAtMs >= policy_.keepAliveMs;
    if (!due) return;
    StatementUse use(insertChange_);
    sqlite3_bind_int64(insertChange_, 1, series.id);
    sqlite3_bind_int64(insertChange_, 2, atMs);
    bind_number(insertChange_, 3, value, integer);
    step_change(db_, insertChange_, "saving the changes");
    series.written = true;
    series.last = value;
    series.writtenAtMs = atMs;
}

void ValueHistory::write_interval(const Series& series) {
    const Interval& interval = series.interval;
    StatementUse use(mergeTrend_);
    sqlite3_bind_int64(mergeTrend_, 1, series.id);
    sqlite3_bind_int64(mergeTrend_, 2, interval.start);
    sqlite3_bind_double(mergeTrend_, 3, interval.min);
    sqlite3_bind_double(mergeTrend_, 4, interval.sum / static_cast<double>(interval.n));
    sqlite3_bind_double(mergeTrend_, 5, interval.max);
    sqlite3_bind_int64(mergeTrend_, 6, interval.n);
    step_change(db_, mergeTrend_, "saving the trends");
}

void ValueHistory::close_intervals() {
    for (auto& [device, ofDevice] : series_) {
        for (auto& [field, series] : ofDevice) {
            if (series.interval.start < 0) continue;
            write_interval(series);
            series.interval = Interval{};
        }
    }
}

std::size_t ValueHistory::prune(std::int64_t samplesBeforeMs, std::size_t sampleBatch, std::int64_t longTermBeforeMs) {
    std::size_t removed = 0;
    {
        StatementUse use(pruneSamples_);
        sqlite3_bind_int64(pruneSamples_, 1, samplesBeforeMs);
        sqlite3_bind_int64(pruneSamples_, 2, static_cast<sqlite3_int64>(sampleBatch));
        removed += step_change(db_, pruneSamples_, "pruning old samples");
    }
    if (longTermBeforeMs <= 0) return removed;
    for (const auto& [device, ofDevice] : series_) {
        for (const auto& [field, series] : ofDevice) {
            for (sqlite3_stmt* statement : {pruneTrends_, pruneChanges_}) {
                StatementUse use(statement);
                sqlite3_bind_int64(statement, 1, series.id);
                sqlite3_bind_int64(statement, 2, longTermBeforeMs);
                removed += step_change(db_, statement, "pruning old trends and changes");
            }
        }
    }
    return removed;
}

}  // namespace site
