// The history store: what it refuses to touch, its writer's lock, rounds saved whole, the
// value tables, retention, and the listing's filters.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "site/store/history_listing.h"
#include "site/store/history_writer.h"
#include "site/store/storage_paths.h"
#include "site_fixture.h"

namespace e2e {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::int64_t kDayMs = 86'400'000;

void put_f32(Bytes& image, std::size_t offset, float value) { std::memcpy(image.data() + offset, &value, 4); }

// A DC unit image (190 bytes) with its device id and bus voltage.
Bytes dc_image(unsigned device, float voltage) {
    Bytes image(190, 0);
    std::memcpy(image.data(), &device, 4);
    put_f32(image, 4, voltage);
    return image;
}

// An AC unit image with `channels` input channels, channel c's phase A at 380 + c.
Bytes ac_image(unsigned device, std::uint8_t channels) {
    Bytes image(37 + 28 * channels, 0);
    std::memcpy(image.data(), &device, 4);
    image[16] = channels;
    for (std::uint8_t c = 0; c < channels; ++c) put_f32(image, 37 + 28 * c, 380.0f + c);
    return image;
}

// Runs one query on its own connection and gives one column of every row as text.
std::vector<std::string> query(const std::string& db, const std::string& sql, int column = 0) {
    sqlite3* connection = nullptr;
    EXPECT_EQ(sqlite3_open_v2(db.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::vector<std::string> rows;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr), SQLITE_OK)
        << sqlite3_errmsg(connection);
    while (sqlite3_step(statement) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        rows.push_back(text != nullptr ? text : "NULL");
    }
    sqlite3_finalize(statement);
    sqlite3_close(connection);
    return rows;
}

// ---- what the host refuses to touch ----

TEST(HistoryStorage, PathsThatWouldOverwriteAnotherFileAreRefusedAndLeftAlone) {
    TempDir dir;
    const std::string site = dir.file("site.json");
    const std::string plugin = dir.file("ktr40e.so");
    const std::string notes = dir.file("notes.txt");
    const std::string other = dir.file("other.db");
    std::ofstream(site) << R"({"data_id": 1})";
    std::ofstream(plugin) << "\x7F"
                             "ELF plug-in";
    std::ofstream(notes) << "not a database";
    site::HistoryStore::open(other).reset();
    ASSERT_EQ(::symlink(site.c_str(), dir.file("link.db").c_str()), 0);
    ::mkdir(dir.file("folder").c_str(), 0755);
    const std::map<std::string, std::string> before = {
        {site, read_file(site)}, {plugin, read_file(plugin)}, {notes, read_file(notes)}, {other, read_file(other)}};

    struct Case {
        std::string db, events, named;  // `named` must be in the refusal; empty: accepted
    };
    const std::string fresh = dir.file("h.db");
    const Case cases[] = {
        {fresh, fresh, "--events " + fresh},
        {fresh, dir.path() + "/folder/../h.db", "same file as the history database"},
        {fresh, site, "same file as the site file"},
        {fresh, plugin, "same file as the plug-in"},
        {fresh, other, "--events " + other + ": a SQLite database"},
        {site, "", "history database " + site + ": the same file as the site file"},
        {plugin, "", "history database " + plugin + ": the same file as the plug-in"},
        {dir.file("link.db"), "", "the same file as the site file"},
        {notes, "", notes + ": exists and is not a SQLite database; left untouched"},
        {dir.file("folder"), "", "not a regular file"},
        {fresh, dir.file("events.jsonl"), ""},
        {other, "/dev/null", "--events /dev/null: not a regular file"},
    };
    for (const Case& c : cases) {
        const std::string refusal = site::storage_refusal({c.db, c.events, site, plugin, "", {}});
        if (c.named.empty()) {
            EXPECT_EQ(refusal, "") << c.db << " " << c.events;
        } else {
            EXPECT_NE(refusal.find(c.named), std::string::npos) << c.db << " " << c.events << ": " << refusal;
        }
    }
    // The store itself never writes over what is not its own, whoever opens it.
    for (const std::string& path : {site, plugin, notes}) {
        EXPECT_THROW(site::HistoryStore::open(path), std::runtime_error) << path;
    }
    for (const auto& [path, content] : before) EXPECT_EQ(read_file(path), content) << path;
    EXPECT_FALSE(site::same_file(fresh, dir.file("events.jsonl")));
}

TEST(HistoryStorage, ASecondWriterIsRefusedNamingTheFileUntilTheFirstCloses) {
    TempDir dir;
    const std::string path = dir.file("h.db");
    auto first = site::HistoryStore::open(path);
    try {
        site::HistoryStore::open(path);
        ADD_FAILURE() << "a second writer opened the database";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), path + ": in use by another sitehost (the database is locked)");
    }
    // A reader is never locked out.
    EXPECT_EQ(site::HistoryStore::open(path, site::HistoryStore::Mode::ReadOnly)->count(), 0u);
    first.reset();
    auto second = site::HistoryStore::open(path);
    second->save(1, 5155, {1}, 1);
    EXPECT_EQ(second->count(), 1u);
}

// Pages of the history table overwritten in the middle of the file: the header is sound, so
// only reading the rows (or the check at start) finds the damage.
TEST(HistoryStorage, DamageInsideTheDatabaseIsFoundAtStartAndListingsStayWholeDocuments) {
    TempDir dir;
    const std::string path = dir.file("h.db");
    {
        auto store = site::HistoryStore::open(path);
        for (int i = 0; i < 400; ++i) store->save(7, 1, Bytes(300, static_cast<std::uint8_t>(i)), i);
    }
    damage_middle(path);

    std::ostringstream json;
    const auto reader = site::HistoryStore::open(path, site::HistoryStore::Mode::ReadOnly);
    EXPECT_THROW(site::list_history_json(*reader, json), std::runtime_error);
    const Json::Value rows = parse(json.str());
    ASSERT_TRUE(rows.isArray()) << json.str();
    EXPECT_GT(rows.size(), 0u);
    EXPECT_LT(rows.size(), 400u);

    std::string notice;
    auto store = site::HistoryStore::open(path, site::HistoryStore::Mode::ReadWrite, &notice);
    EXPECT_NE(notice.find("quick_check"), std::string::npos) << notice;
    EXPECT_NE(notice.find("moved it to " + path + ".unreadable-"), std::string::npos) << notice;
    EXPECT_EQ(store->count(), 0u);
}

// ---- rounds, readings, retention ----

// Three units of power system 1 (AC 11, DC 21, the group 1) deliver their images.
void deliver_round(site::HistoryWriter& writer, float voltage) {
    const Bytes ac = ac_image(11, 2);
    writer.save_image(11, site::kAcRecord, ac.data(), ac.size());
    const Bytes dc = dc_image(21, voltage);
    writer.save_image(21, site::kDcRecord, dc.data(), dc.size());
    const Bytes rc = {1, 2, 3};  // too short for the group's record: kept as an image only
    writer.save_image(1, 5155, rc.data(), rc.size());
}

TEST(HistoryStorage, RoundsWaitOutABusyDatabaseAndAreSavedWhole) {
    TempDir dir;
    const std::string path = dir.file("h.db");
    auto store = std::shared_ptr<site::HistoryStore>(site::HistoryStore::open(path));
    std::mutex mutex;
    std::string reports;
    site::HistoryWriterOptions options;
    options.retryPause = std::chrono::milliseconds(20);
    site::HistoryWriter writer(
        store,
        [&](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            reports += text + "\n";
        },
        options);
    writer.add_system(1, {1, 11, 21});
    // Recent rounds: the writer prunes images past their days after each round it saves.
    const std::int64_t t1 = site::now_ms() - 60'000;
    const std::int64_t t2 = t1 + 1000;

    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    deliver_round(writer, 53.5f);
    EXPECT_EQ(store->count(), 0u) << "nothing is saved before its round ends";
    writer.end_round(1, t1);
    deliver_round(writer, 52.25f);
    writer.end_round(1, t2);
    // Held until the writer has given up at least one attempt and said so.
    const auto reported = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return reports.find("cannot save the round of") != std::string::npos;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!reported() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(writer.saved(), 0u);
    ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(holder);

    EXPECT_TRUE(writer.flush(std::chrono::seconds(30)));
    EXPECT_EQ(writer.saved(), 6u);
    EXPECT_EQ(writer.failed(), 0u);
    EXPECT_NE(reports.find("cannot save the round of"), std::string::npos) << reports;
    EXPECT_NE(reports.find("saving again after"), std::string::npos) << reports;
    std::map<std::int64_t, std::set<unsigned>> rounds;
    store->for_each([&](const site::StoredImage& s) { rounds[s.savedAtMs].insert(s.device); });
    EXPECT_EQ(rounds, (std::map<std::int64_t, std::set<unsigned>>{{t1, {1, 11, 21}}, {t2, {1, 11, 21}}}));

    // The values of the newest round answer the plain SQL question.
    const std::string last =
        "SELECT value FROM sample_values WHERE device=21 AND field='voltage' ORDER BY t DESC LIMIT 1";
    EXPECT_EQ(query(path, last), (std::vector<std::string>{"52.25"}));
    EXPECT_EQ(query(path, "SELECT DISTINCT t FROM samples ORDER BY t"),
              (std::vector<std::string>{std::to_string(t1), std::to_string(t2)}));
    // The fields are the listing's, less the slots past the unit's counts and its clock; the
    // image that does not decode has none.
    std::ostringstream csv;
    site::ListingOptions newest;
    newest.filter.device = 11;
    newest.limit = 1;
    site::list_history_csv(*store, csv, newest);
    std::vector<std::string> listed;
    std::istringstream lines(csv.str());
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        const std::string field = line.substr(line.find(",11,5153,") + 9);
        const std::string name = field.substr(0, field.find(','));
        if (name.rfind("airlock.", 0) != 0 && name.rfind("channels.0.p40_44_value", 0) != 0 &&
            name.rfind("channels.1.p40_44_value", 0) != 0 && name != "update_time")
            listed.push_back(name);
    }
    std::vector<std::string> stored = query(path, "SELECT field FROM series WHERE device=11 ORDER BY field");
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(stored, listed);
    EXPECT_EQ(query(path, "SELECT count(*) FROM series WHERE device=1"), (std::vector<std::string>{"0"}));
}

TEST(HistoryStorage, RetentionPrunesEachKindOfRowAfterItsOwnTimeInSmallBatches) {
    TempDir dir;
    const std::string path = dir.file("h.db");
    auto store = std::shared_ptr<site::HistoryStore>(site::HistoryStore::open(path));
    const std::int64_t now = site::now_ms();
    for (int i = 0; i < 5; ++i)
        store->save_round({{21, site::kDcRecord, dc_image(21, 50.0f + static_cast<float>(i))}, {1, 5155, {1}}},
                          now - 10 * kDayMs + i);
    store->save_round({{21, site::kDcRecord, dc_image(21, 51.0f)}}, now - 3 * kDayMs);
    ASSERT_EQ(store->row_count("samples"), 6u * 2u);  // voltage and current

    // One image per batch: a batch never takes more than its share.
    site::RetentionCut cut;
    cut.imagesBeforeMs = now - 5 * kDayMs;
    EXPECT_EQ(store->prune(cut, 1), 1u);
    std::size_t batches = 1;
    while (store->prune(cut, 1) > 0) ++batches;
    EXPECT_EQ(batches, 10u);
    EXPECT_EQ(store->count(), 1u);
    EXPECT_EQ(store->row_count("samples"), 12u) << "samples have a time of their own";

    // The writer prunes after each round it saves; nothing is kept past keepDays.
    site::HistoryWriterOptions options;
    options.keepDays = 2;
    site::HistoryWriter writer(store, nullptr, options);
    writer.add_system(1, {1, 11, 21});
    deliver_round(writer, 53.5f);
    writer.end_round(1, now);
    ASSERT_TRUE(writer.flush(std::chrono::seconds(30)));
    std::set<std::int64_t> times;
    store->for_each([&](const site::StoredImage& s) { times.insert(s.savedAtMs); });
    EXPECT_EQ(times, (std::set<std::int64_t>{now}));
    EXPECT_EQ(query(path, "SELECT DISTINCT t FROM samples"), (std::vector<std::string>{std::to_string(now)}));
    EXPECT_EQ(query(path, "SELECT count(*) FROM changes WHERE t < " + std::to_string(now - 2 * kDayMs)),
              (std::vector<std::string>{"0"}));
}

// ---- listing filters ----

TEST(HistoryListing, SinceUntilLimitDeviceAndFieldChooseTheRows) {
    TempDir dir;
    auto store = site::HistoryStore::open(dir.file("h.db"));
    // Five rounds a minute apart, each an AC and a DC image.
    const std::int64_t t0 = *site::parse_time_text("2026-12-08T10:00:00Z");
    for (int i = 0; i < 5; ++i)
        store->save_round({{11, site::kAcRecord, ac_image(11, 2)},
                           {21, site::kDcRecord, dc_image(21, 50.5f + static_cast<float>(i))}},
                          t0 + i * 60'000);

    struct Case {
        const char* what;
        site::ListingOptions options;
        std::vector<std::int64_t> ids;
        std::size_t fieldsPerRow;  // 0: all of them
    };
    const auto with = [](auto change) {
        site::ListingOptions options;
        change(options);
        return options;
    };
    const Case cases[] = {
        {"all", {}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0},
        {"since, inclusive", with([&](auto& o) { o.filter.sinceMs = t0 + 180'000; }), {7, 8, 9, 10}, 0},
        {"until, exclusive", with([&](auto& o) { o.filter.untilMs = t0 + 60'000; }), {1, 2}, 0},
        {"a window of one unit",
         with([&](auto& o) {
             o.filter.device = 21;
             o.filter.sinceMs = t0 + 60'000;
             o.filter.untilMs = t0 + 180'001;
         }),
         {4, 6, 8},
         0},
        {"the newest two, oldest first", with([](auto& o) { o.limit = 2; }), {9, 10}, 0},
        {"a field only DC images have", with([](auto& o) { o.fields = {"voltage"}; }), {2, 4, 6, 8, 10}, 1},
        {"the limit counts listed rows",
         with([](auto& o) {
             o.fields = {"voltage"};
             o.limit = 2;
         }),
         {8, 10},
         1},
        {"a field and everything under it",
         with([](auto& o) {
             o.fields = {"channels.1", "ia"};
         }),
         {1, 3, 5, 7, 9},
         17},
        {"a name that is only a prefix of a field", with([](auto& o) { o.fields = {"volt"}; }), {}, 0},
    };
    for (const Case& c : cases) {
        std::ostringstream json;
        site::list_history_json(*store, json, c.options);
        const Json::Value rows = parse(json.str());
        std::vector<std::int64_t> ids;
        for (const Json::Value& row : rows) {
            ids.push_back(row["id"].asInt64());
            if (c.fieldsPerRow != 0) {
                EXPECT_EQ(row["fields"].size(), c.fieldsPerRow) << c.what << ": " << row;
            }
        }
        EXPECT_EQ(ids, c.ids) << c.what;
    }
    std::ostringstream csv;
    site::list_history_csv(*store, csv, with([](auto& o) {
        o.fields = {"voltage"};
        o.limit = 1;
    }));
    EXPECT_EQ(csv.str(), "id,saved_at,device,record,field,value\n10," + site::local_time_text(t0 + 240'000) +
                             ",21,5154,voltage,54.5\n");
}

TEST(HistoryListing, TimesAreReadAsLocalUnlessTheyCarryAnOffset) {
    const std::int64_t utc = 1'796'728'923'000;  // 2026-12-08T11:22:03Z
    struct Case {
        const char* text;
        std::optional<std::int64_t> ms;
    };
    const Case cases[] = {
        {"2026-12-08T11:22:03Z", utc},
        {"2026-12-08T11:22:03.5Z", utc + 500},
        {"2026-12-08 12:22:03+01:00", utc},
        {"2026-12-08T06:22:03-0500", utc},
        {"2026-12-08T11:22Z", utc - 3000},
        {"2026-02-30T00:00Z", std::nullopt},
        {"2026-12-08T25:00Z", std::nullopt},
        {"2026-12-08T11:22:03+01", std::nullopt},
        {"2026-12-08T11:22:03Zjunk", std::nullopt},
        {"08.12.2026", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(site::parse_time_text(c.text), c.ms) << c.text;
    }
    const auto midnight = site::parse_time_text("2026-12-08");
    ASSERT_TRUE(midnight);
    EXPECT_EQ(site::local_time_text(*midnight), "2026-12-08 00:00:00.000");
    EXPECT_EQ(site::parse_time_text("2026-12-08 00:00:00"), midnight);
}

}  // namespace
}  // namespace e2e
