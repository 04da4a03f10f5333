// One simulated power system polled every 3 s, saved through the history writer's store with
// the default retention: prints how the database grows, table by table, and what it comes to
// after a year. Simulated time: the rounds carry times 3 s apart and are saved as fast as the
// store takes them.
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include <CLI/CLI.hpp>

#include "history_rounds.h"
#include "site/store/history_writer.h"

namespace {

constexpr double kDayMs = 86'400'000.0;

// Bytes of each table with its indexes, as the database pages hold them.
std::map<std::string, double> table_bytes(const std::string& path) {
    sqlite3* db = nullptr;
    std::map<std::string, double> bytes;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* rows = nullptr;
    const char* sql =
        "SELECT coalesce((SELECT tbl_name FROM sqlite_master m WHERE m.name = d.name), d.name), sum(pgsize) "
        "FROM dbstat d GROUP BY 1";
    if (sqlite3_prepare_v2(db, sql, -1, &rows, nullptr) == SQLITE_OK) {
        while (sqlite3_step(rows) == SQLITE_ROW)
            bytes[reinterpret_cast<const char*>(sqlite3_column_text(rows, 0))] = sqlite3_column_double(rows, 1);
    }
    sqlite3_finalize(rows);
    sqlite3_close(db);
    return bytes;
}

// A battery fuse alarm raised and cleared every 10 minutes.
std::vector<site::AlarmChange> alarms(std::size_t n) {
    if (n % 200 != 0 && n % 200 != 20) return {};
    return {{21, n % 200 == 0, "DC_0", "06024", "battery fuse broken", 2}};
}

// Tables whose size does not grow with time.
bool fixed_size(const std::string& table) { return table == "series" || table == "sqlite_schema"; }

}  // namespace

int main(int argc, char** argv) {
    CLI::App cli("Database growth of one power system polled every 3 s, and its size after a year",
                 "ktr40e-history-bench");
    double minutes = 120;
    double interval = 3;
    cli.add_option("--minutes", minutes, "simulated time (at least 10; an hour or more shows the hourly rows)")
        ->check(CLI::Range(10.0, 10'000.0));
    cli.add_option("--interval", interval, "seconds between rounds")->check(CLI::Range(1.0, 600.0));
    CLI11_PARSE(cli, argc, argv);

    char name[] = "/tmp/ktr40e-history-XXXXXX";
    if (::mkdtemp(name) == nullptr) return 1;
    const std::string path = std::string(name) + "/history.db";
    const site::HistoryWriterOptions defaults;
    const unsigned keepDays = 365;
    const auto roundMs = static_cast<std::int64_t>(interval * 1000);
    const auto rounds = static_cast<std::size_t>(minutes * 60'000 / static_cast<double>(roundMs));
    const std::clock_t started = std::clock();
    {
        const auto store = site::HistoryStore::open(path);
        std::int64_t at = site::now_ms() - static_cast<std::int64_t>(rounds) * roundMs;
        for (std::size_t n = 0; n < rounds; ++n) store->save_round(bench::history_round(n), at += roundMs, alarms(n));
    }
    const double took = static_cast<double>(std::clock() - started) / CLOCKS_PER_SEC;
    const std::map<std::string, double> bytes = table_bytes(path);

    const double spanMs = static_cast<double>(rounds) * static_cast<double>(roundMs);
    std::printf(
        "one power system (2 AC, 2 DC, 12 modules), a round every %.0f s, %zu rounds (%.0f simulated minutes), "
        "%.2f ms of CPU a round\n",
        interval, rounds, spanMs / 60'000, took * 1000 / static_cast<double>(rounds));
    std::printf("%-10s %12s %14s %10s %14s\n", "table", "bytes", "bytes/round", "kept days", "after a year");
    double year = 0;
    for (const auto& [table, size] : bytes) {
        const unsigned days = table == "history"   ? defaults.imageDays
                              : table == "samples" ? defaults.sampleDays
                                                   : keepDays;
        const double kept =
            fixed_size(table) ? size : std::min(365.0, static_cast<double>(days)) * kDayMs / spanMs * size;
        year += kept;
        std::printf("%-10s %12.0f %14.1f %10u %11.1f MB\n", table.c_str(), size, size / static_cast<double>(rounds),
                    days, kept / 1e6);
    }
    std::printf("database file %.1f MB after %.0f minutes; with history_keep_days %u: %.2f GB after a year\n",
                static_cast<double>(std::filesystem::file_size(path)) / 1e6, spanMs / 60'000, keepDays, year / 1e9);
    std::filesystem::remove_all(name);
    return 0;
}
