// The history tables: only the values a unit really has, states kept when they change,
// analog values per interval, alarm changes, old databases, databases of other programs, a
// file deleted under the writer, and the README's Grafana queries and the shipped dashboard
// against a real database.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>

#include "host/json.h"
#include "site/host/image_layouts.h"
#include "site/store/database_file.h"
#include "site/store/history_schema.h"
#include "site/store/history_writer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
// A round time an hour ago at the start of a 5-minute interval (ms): recent enough for every
// table's retention.
const std::int64_t kT0 = (site::now_ms() / 300'000 - 12) * 300'000;

class Scratch {
public:
    Scratch() {
        char name[] = "/tmp/ktr40e-store-XXXXXX";
        if (::mkdtemp(name) != nullptr) path_ = name;
    }
    ~Scratch() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Runs SQL on its own connection; every row's columns joined by '|'.
std::vector<std::string> rows(const std::string& db, const std::string& sql) {
    sqlite3* connection = nullptr;
    EXPECT_EQ(sqlite3_open_v2(db.c_str(), &connection, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    std::vector<std::string> out;
    if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sqlite3_errmsg(connection) << "\n" << sql;
    } else {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
                row += (i > 0 ? "|" : "") + std::string(text != nullptr ? text : "NULL");
            }
            out.push_back(row);
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(connection);
    return out;
}

void put_f32(Bytes& image, int offset, float value) { std::memcpy(image.data() + offset, &value, 4); }

// A DC unit with two battery currents of four slots, its bus voltage and voltage state.
Bytes dc_image(float voltage, std::uint8_t voltageState) {
    using namespace site;
    Bytes image(layout_size(kDcFields), 0);
    put_f32(image, field_offset(kDcFields, "voltage"), voltage);
    image[field_offset(kDcFields, "dc_m")] = 2;
    put_f32(image, field_offset(kDcFields, "m_value"), 1.5f);
    put_f32(image, field_offset(kDcFields, "m_value") + 4, -2.5f);
    image[field_offset(kDcFields, "voltage_state")] = voltageState;
    image[field_offset(kDcFields, "alert_m_count")] = 1;
    return image;
}

site::UnitImage dc_unit(float voltage, std::uint8_t voltageState = 0) {
    return {21, site::kDcRecord, dc_image(voltage, voltageState)};
}

// What unit 21 hands over in one round.
struct UnitRound {
    Bytes image;
    std::vector<site::AlarmChange> alarms;
};

// What the units of power system 1 hand over in one round.
struct SiteRound {
    std::vector<site::UnitImage> units;
    std::vector<site::AlarmChange> alarms;
};

// Rounds 3 s apart from kT0 of power system 1, through a history writer as the host saves them.
void write_site_rounds(const std::string& db, int count, const std::vector<unsigned>& units,
                       const std::function<SiteRound(int)>& round) {
    auto store = std::shared_ptr<site::HistoryStore>(site::HistoryStore::open(db));
    site::HistoryWriter writer(store, nullptr);
    writer.add_system(1, units);
    for (int i = 0; i < count; ++i) {
        SiteRound site = round(i);
        for (const site::UnitImage& unit : site.units)
            writer.save_image(unit.device, unit.record, unit.image.data(), unit.image.size());
        writer.end_round(1, kT0 + i * 3000, std::move(site.alarms));
    }
    ASSERT_TRUE(writer.flush(std::chrono::seconds(30)));
}

// The same with unit 21 alone.
void write_rounds(const std::string& db, int count, const std::function<UnitRound(int)>& round) {
    write_site_rounds(db, count, {21}, [&round](int i) {
        UnitRound unit = round(i);
        return SiteRound{{site::UnitImage{21, site::kDcRecord, std::move(unit.image)}}, std::move(unit.alarms)};
    });
}

// ---- what is kept of the values ----

TEST(HistoryValues, OnlyRealFieldsAnalogEveryRoundStatesOnChangeAndIntervalsOfMinMeanMax) {
    Scratch dir;
    const std::string db = dir.file("h.db");
    {
        auto store = site::HistoryStore::open(db);
        // Rounds 60 s apart from the start of an interval: 5 in the first, 1 in the second.
        const float voltages[] = {53.0f, 54.0f, 52.0f, 53.0f, 53.0f, 50.0f};
        const std::uint8_t states[] = {0, 0, 1, 1, 0, 0};
        for (int i = 0; i < 6; ++i) store->save_round({dc_unit(voltages[i], states[i])}, kT0 + i * 60'000);
        EXPECT_EQ(rows(db, "SELECT count(*) FROM trends"), (std::vector<std::string>{"4"}))
            << "the first interval of voltage, current and both battery currents; the second is still open";
    }
    // Slots past dc_m, alert_m_count and the other counts are not fields of the unit.
    EXPECT_EQ(rows(db,
                   "SELECT field FROM series WHERE device=21 AND field LIKE 'm_value.%' OR field LIKE 'alert_m.%' "
                   "OR field LIKE 'user_p.%' ORDER BY field"),
              (std::vector<std::string>{"alert_m.0", "m_value.0", "m_value.1"}));
    EXPECT_EQ(rows(db, "SELECT count(*) FROM series WHERE field='update_time'"), (std::vector<std::string>{"0"}));
    EXPECT_EQ(rows(db, "SELECT value FROM sample_values WHERE field='voltage' ORDER BY t"),
              (std::vector<std::string>{"53.0", "54.0", "52.0", "53.0", "53.0", "50.0"}));
    EXPECT_EQ(rows(db, "SELECT value FROM sample_values WHERE field='m_value.1' ORDER BY t LIMIT 1"),
              (std::vector<std::string>{"-2.5"}));
    // The state's row at each change only; an unchanged count once.
    EXPECT_EQ(rows(db, "SELECT (t - " + std::to_string(kT0) +
                           ") / 60000, value FROM change_values "
                           "WHERE field='voltage_state' ORDER BY t"),
              (std::vector<std::string>{"0|0", "2|1", "4|0"}));
    EXPECT_EQ(rows(db, "SELECT count(*) FROM change_values WHERE field='dc_m'"), (std::vector<std::string>{"1"}));
    // Closing the store writes the open interval.
    EXPECT_EQ(rows(db, "SELECT (t - " + std::to_string(kT0) +
                           ") / 60000, min, mean, max, n FROM trend_values "
                           "WHERE field='voltage' ORDER BY t"),
              (std::vector<std::string>{"0|52.0|53.0|54.0|5", "5|50.0|50.0|50.0|1"}));
}

TEST(HistoryValues, AnUnchangedStateIsWrittenAgainAfterTheKeepAliveAndARestartMergesItsInterval) {
    Scratch dir;
    const std::string db = dir.file("h.db");
    site::ValuePolicy policy;
    policy.keepAliveMs = 6 * 60'000;
    for (int run = 0; run < 2; ++run) {
        auto store = site::HistoryStore::open(db, site::HistoryStore::Mode::ReadWrite, nullptr, policy);
        for (int i = 0; i < 3; ++i)
            store->save_round({dc_unit(50.0f + static_cast<float>(run))}, kT0 + run * 1000 + i * 4 * 60'000);
    }
    // Run one: 0, 8 min (keep-alive); run two writes afresh at its start, then at 8 min.
    EXPECT_EQ(rows(db, "SELECT count(*) FROM change_values WHERE field='voltage_state'"),
              (std::vector<std::string>{"4"}));
    // Both runs' first intervals are one row.
    EXPECT_EQ(rows(db, "SELECT min, max, n FROM trend_values WHERE field='voltage' ORDER BY t LIMIT 1"),
              (std::vector<std::string>{"50.0|51.0|4"}));
}

TEST(HistoryValues, AlarmChangesAreKeptWithTheirRound) {
    Scratch dir;
    const std::string db = dir.file("h.db");
    write_rounds(db, 2, [](int i) {
        return UnitRound{dc_image(53.0f, 0), {{21, i == 0, "DC_0", "06024", "battery fuse broken", 2}}};
    });
    EXPECT_EQ(rows(db, "SELECT t - " + std::to_string(kT0) +
                           ", device, change, key, code, text, level FROM alarms ORDER BY id"),
              (std::vector<std::string>{"0|21|raised|DC_0|06024|battery fuse broken|2",
                                        "3000|21|cleared|DC_0|06024|battery fuse broken|2"}));
}

// ---- databases the host did not write, or wrote before ----

// The tables of the host's databases before the value tables and the application id.
constexpr const char* kOldTables =
    "CREATE TABLE history (id INTEGER PRIMARY KEY, device INTEGER NOT NULL, record INTEGER NOT NULL,"
    " saved_at INTEGER NOT NULL, image BLOB NOT NULL);"
    "CREATE INDEX history_by_device ON history(device, id);"
    "CREATE INDEX history_by_time ON history(saved_at);"
    "CREATE TABLE readings (saved_at TEXT NOT NULL, device INTEGER NOT NULL, record INTEGER NOT NULL,"
    " field TEXT NOT NULL, value REAL);"
    "CREATE INDEX readings_by_device_time_field ON readings(device, saved_at, field);"
    "INSERT INTO history(device, record, saved_at, image) VALUES (21, 5154, 1000, zeroblob(190)), (1, 5155, 1000, x'010203');"
    "INSERT INTO readings VALUES ('1970-01-01T00:00:01.000+00:00', 21, 5154, 'voltage', 53.5);";

void make_database(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST(HistoryDatabases, ADatabaseFromBeforeTheValueTablesOpensKeepsItsRowsAndGetsTheApplicationId) {
    Scratch dir;
    const std::string db = dir.file("old.db");
    make_database(db, kOldTables);
    EXPECT_EQ(site::write_refusal(db), "");
    {
        auto store = site::HistoryStore::open(db);
        std::vector<std::string> images;
        store->for_each([&](const site::StoredImage& s) {
            images.push_back(std::to_string(s.device) + "@" + std::to_string(s.savedAtMs) + ":" +
                             std::to_string(s.image.size()));
        });
        EXPECT_EQ(images, (std::vector<std::string>{"21@1000:190", "1@1000:3"}));
        store->save_round({dc_unit(52.0f)}, kT0);
        EXPECT_EQ(store->newest(21)->savedAtMs, kT0);
    }
    EXPECT_EQ(rows(db, "PRAGMA application_id"),
              (std::vector<std::string>{std::to_string(site::kHistoryApplicationId)}));
    EXPECT_EQ(rows(db, "SELECT field, value FROM readings"), (std::vector<std::string>{"voltage|53.5"}));
    EXPECT_EQ(rows(db, "SELECT value FROM sample_values WHERE field='voltage'"), (std::vector<std::string>{"52.0"}));
    // Opened again, it is the host's by its id.
    EXPECT_EQ(site::HistoryStore::open(db)->count(), 3u);
}

TEST(HistoryDatabases, ASqliteDatabaseOfAnotherProgramIsRefusedUntouched) {
    Scratch dir;
    struct Case {
        const char* name;
        const char* sql;
        const char* why;
    };
    const Case cases[] = {
        {"notes.db", "CREATE TABLE notes (text TEXT); INSERT INTO notes VALUES ('keep me');",
         "another program (tables notes)"},
        {"mixed.db", "CREATE TABLE history (id INTEGER); CREATE TABLE accounts (id INTEGER);",
         "another program (tables accounts, history)"},
        {"marked.db", "PRAGMA application_id=1234;", "another program (application_id 0x000004D2)"},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file(c.name);
        make_database(path, c.sql);
        const std::string before = read_bytes(path);
        const std::string refusal = site::write_refusal(path);
        EXPECT_NE(refusal.find(path + ": a SQLite database of " + c.why), std::string::npos) << refusal;
        EXPECT_NE(refusal.find("left untouched"), std::string::npos) << refusal;
        EXPECT_THROW(site::HistoryStore::open(path), std::runtime_error) << c.name;
        EXPECT_EQ(read_bytes(path), before) << c.name;
        EXPECT_FALSE(std::filesystem::exists(path + "-wal")) << c.name;
    }
}

TEST(HistoryDatabases, AFileDeletedOrReplacedUnderTheWriterIsNoticedAtTheNextRound) {
    Scratch dir;
    const std::string db = dir.file("h.db");
    auto store = std::shared_ptr<site::HistoryStore>(site::HistoryStore::open(db));
    std::mutex mutex;
    std::vector<std::string> reports;
    site::HistoryWriter writer(store, [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        reports.push_back(text);
    });
    writer.add_system(1, {21});
    const Bytes image = dc_image(53.0f, 0);
    const auto round = [&](std::int64_t at) {
        writer.save_image(21, site::kDcRecord, image.data(), image.size());
        writer.end_round(1, at);
        ASSERT_TRUE(writer.flush(std::chrono::seconds(10)));
    };
    round(kT0);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
    round(kT0 + 3000);
    // Another file put in its place.
    const std::string other = dir.file("other.db");
    site::HistoryStore::open(other)->save_round({dc_unit(40.0f)}, kT0 + 1000);
    std::rename(other.c_str(), db.c_str());
    round(kT0 + 6000);

    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(reports,
              (std::vector<std::string>{db + " was deleted while the host ran; saving into a new database there",
                                        db + " was replaced by another file while the host ran; saving into a new "
                                             "database there"}));
    EXPECT_EQ(writer.saved(), 3u);
    EXPECT_EQ(store->count(), 2u);
    EXPECT_EQ(rows(db, "SELECT saved_at FROM history ORDER BY id"),
              (std::vector<std::string>{std::to_string(kT0 + 1000), std::to_string(kT0 + 6000)}));
}

// ---- the README's queries ----

// The README's indented SQL blocks that use Grafana's macros.
std::vector<std::string> grafana_queries() {
    std::ifstream in(std::string(KTR40E_SOURCE_DIR) + "/README.md");
    std::vector<std::string> queries;
    std::string block;
    std::string line;
    const auto close = [&] {
        if (block.find("$__from") != std::string::npos) queries.push_back(block);
        block.clear();
    };
    while (std::getline(in, line)) {
        if (line.rfind("    ", 0) == 0) {
            block += line.substr(4) + "\n";
        } else if (!line.empty()) {
            close();
        }
    }
    close();
    return queries;
}

// As the SQLite data source does: $__from and $__to in milliseconds, and
// $__unixEpochGroupSeconds(column, seconds) as a whole-interval expression.
std::string substitute(std::string sql, std::int64_t fromMs, std::int64_t toMs) {
    static const std::regex group(R"(\$__unixEpochGroupSeconds\(([^,]+),\s*([0-9]+)\))");
    sql = std::regex_replace(sql, group, "cast(($1 / $2) as int) * $2");
    sql = std::regex_replace(sql, std::regex(R"(\$__from\b)"), std::to_string(fromMs));
    return std::regex_replace(sql, std::regex(R"(\$__to\b)"), std::to_string(toMs));
}

TEST(HistoryReadme, EveryGrafanaQueryReturnsRowsWithItsMacrosSubstituted) {
    Scratch dir;
    const std::string db = dir.file("h.db");
    write_rounds(db, 200, [](int i) {
        return UnitRound{dc_image(53.0f + static_cast<float>(i % 7) / 10.0f, i % 50 == 0 ? 1 : 0),
                         {{21, i % 2 == 0, "DC_0", "06024", "battery fuse broken", 2}}};
    });
    const std::vector<std::string> queries = grafana_queries();
    ASSERT_GE(queries.size(), 4u);
    for (const std::string& query : queries) {
        const std::string sql = substitute(query, kT0 - 60'000, kT0 + 200 * 3000);
        EXPECT_EQ(sql.find("$__"), std::string::npos) << sql;
        EXPECT_FALSE(rows(db, sql).empty()) << sql;
    }
}

// ---- the Grafana dashboard ----

// An AC unit with `inputs` inputs at `volts` on every phase.
Bytes ac_image(int inputs, float volts) {
    using namespace site;
    Bytes image(layout_size(kAcUnitFields) + inputs * layout_size(kAcChannelFields), 0);
    image[field_offset(kAcUnitFields, "channel_count")] = static_cast<std::uint8_t>(inputs);
    for (int c = 0; c < inputs; ++c)
        for (const char* phase : {"a", "b", "c"})
            put_f32(
                image,
                layout_size(kAcUnitFields) + c * layout_size(kAcChannelFields) + field_offset(kAcChannelFields, phase),
                volts);
    return image;
}

// A rectifier group of `modules` modules, each at `amperes`.
Bytes rc_image(int modules, float amperes) {
    using namespace site;
    Bytes image(layout_size(kRcGroupFields) + modules * layout_size(kRcModuleFields), 0);
    image[field_offset(kRcGroupFields, "module_count")] = static_cast<std::uint8_t>(modules);
    for (int m = 0; m < modules; ++m)
        put_f32(image,
                layout_size(kRcGroupFields) + m * layout_size(kRcModuleFields) +
                    field_offset(kRcModuleFields, "output_current"),
                amperes);
    return image;
}

// Every panel of the shipped dashboard returns rows from a database the host wrote, with its
// macros substituted as the SQLite data source does; the series are named as people read them.
TEST(HistoryDashboard, EveryPanelQueryReturnsRowsFromTheHostsDatabase) {
    Scratch dir;
    const std::string db = dir.file("h.db");
    write_site_rounds(db, 40, {1, 11, 21}, [](int i) {
        Bytes dc = dc_image(53.5f, 0);
        put_f32(dc, site::field_offset(site::kDcFields, "current"), 40.0f);
        SiteRound round{{{1, site::kRcRecord, rc_image(3, 15.5f)},
                         {11, site::kAcRecord, ac_image(2, 230.0f)},
                         {21, site::kDcRecord, std::move(dc)}},
                        {}};
        if (i == 5) round.alarms.push_back({21, true, "DC_0", "06024", "battery fuse broken", 2});
        if (i == 7) round.alarms.push_back({11, true, "AC_0", "06015", "交流屏2输入线/相电压AB/A", 3});
        if (i == 9) round.alarms.push_back({11, false, "AC_0", "06015", "交流屏2输入线/相电压AB/A", 3});
        return round;
    });
    std::ifstream in(std::string(KTR40E_SOURCE_DIR) + "/config/ktr40e-grafana.json");
    Json::Value dashboard;
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &dashboard, nullptr));
    std::map<std::string, std::vector<std::string>> results;  // panel title -> rows
    for (const Json::Value& panel : dashboard["panels"]) {
        SCOPED_TRACE(panel["title"].asString());
        EXPECT_EQ(panel["datasource"]["type"], "frser-sqlite-datasource");
        ASSERT_EQ(panel["targets"].size(), 1u);
        const Json::Value& target = panel["targets"][0];
        EXPECT_EQ(target["queryText"], target["rawQueryText"]);
        const std::string sql = substitute(target["queryText"].asString(), kT0 - 60'000, kT0 + 40 * 3000);
        EXPECT_EQ(sql.find("$__"), std::string::npos) << sql;
        results[panel["title"].asString()] = rows(db, sql);
        EXPECT_FALSE(results[panel["title"].asString()].empty()) << sql;
    }
    ASSERT_EQ(results.size(), 7u);
    EXPECT_EQ(results["DC voltage"].front(), std::to_string(kT0 / 1000) + ".0|DC unit 21|53.5");
    EXPECT_EQ(results["DC load power"].front(), std::to_string(kT0 / 1000) + ".0|DC unit 21|2140.0");
    EXPECT_EQ(results["Rectifier module currents"].size(), 40u * 3);
    EXPECT_EQ(results["Rectifier module currents"][2], std::to_string(kT0 / 1000) + ".0|module 3|15.5");
    EXPECT_EQ(results["AC inputs"].size(), 40u * 6);
    EXPECT_EQ(results["AC inputs"][5], std::to_string(kT0 / 1000) + ".0|AC unit 11 input 2 phase C|230.0");
    // The cleared AC alarm is no longer active; the DC one is.
    EXPECT_EQ(results["Active alarms"], (std::vector<std::string>{std::to_string((kT0 + 5 * 3000) / 1000) +
                                                                  ".0|21|DC_0|06024|battery fuse broken|2"}));
    EXPECT_EQ(results["Data age"].size(), 3u);
}

}  // namespace
