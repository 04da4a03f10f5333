// The sitehost program itself: its event file, its stop on SIGTERM and its history listing.
#include <signal.h>
#include <sqlite3.h>

#include <regex>
#include <set>

#include "program_support.h"
#include "site/store/history_store.h"

namespace e2e {
namespace {

std::size_t count_kind(const std::vector<Json::Value>& events, const std::string& kind) {
    return static_cast<std::size_t>(std::count_if(events.begin(), events.end(),
                                                  [&](const Json::Value& e) { return e["event"].asString() == kind; }));
}

TEST(SitehostProgram, EventFileHoldsOneJsonObjectPerLineAndHistoryListsTheImages) {
    TempDir dir;
    const Program host = start(dir,
                               {"--plugin", KTR40E_PLUGIN_PATH, "--site", write_site(dir), "--rounds", "2", "--events",
                                dir.file("events.jsonl"), "--db", dir.file("h.db"), "--query", "v@151"},
                               "run");
    ASSERT_EQ(wait_for(host), 0) << read_file(host.err);
    const std::string out = read_file(host.out);
    EXPECT_NE(out.find("built-in simulator on /dev/pts/"), std::string::npos) << out;
    EXPECT_NE(out.find("round 2"), std::string::npos) << out;
    EXPECT_EQ(out.find("parse 42 41:"), std::string::npos) << "the plug-in's trace is shown with -v only";

    const std::string text = read_file(dir.file("events.jsonl"));
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    // The plug-in's trace lines arrive through a pipe, so they may come between any two calls.
    std::vector<std::string> lines;
    std::vector<Json::Value> events;
    std::size_t dcTraces = 0;
    for (const std::string& line : lines_of(text)) {
        const Json::Value event = parse(line);
        ASSERT_TRUE(event.isObject() && event["event"].isString()) << line;
        if (event["event"] == "trace") {
            dcTraces += event["text"].asString().rfind("parse 42 41:", 0) == 0 ? 1 : 0;
            continue;
        }
        lines.push_back(line);
        events.push_back(event);
    }
    EXPECT_EQ(dcTraces, 4u) << "one trace line per DC unit and round";
    EXPECT_EQ(lines[0], R"({"event":"query","device":151,"name":"v","error":"数据未就绪"})");
    EXPECT_EQ(lines[1], R"({"event":"tx","cid1":64,"cid2":81,"info":""})");
    EXPECT_EQ(lines[3], R"({"event":"tx","cid1":64,"cid2":65,"info":"FF"})");
    EXPECT_EQ(events[2]["event"].asString(), "rx");
    EXPECT_EQ(events[2]["info"].asString(), "4B54522D34302020202020202020202020202020");  // "KTR-40", padded
    EXPECT_EQ(count_kind(events, "publish"), 10u);
    EXPECT_EQ(count_kind(events, "history"), 10u);
    EXPECT_EQ(count_kind(events, "reset"), 2u);
    EXPECT_EQ(count_kind(events, "query"), 3u);
    for (const Json::Value& e : events) {
        if (e["event"] == "alarm") {
            EXPECT_NE(e.isMember("active"), e.isMember("state")) << e;
        }
        if (e["event"] == "query" && e.isMember("value")) {
            EXPECT_EQ(e["value"].asDouble(), 53.5);
        }
        if (e["event"] == "publish") {
            EXPECT_EQ(e["image"].asString().find_first_of("abcdef"), std::string::npos);
        }
    }

    const Program json = start(dir, {"history", "--db", dir.file("h.db")}, "json");
    ASSERT_EQ(wait_for(json), 0) << read_file(json.err);
    const Json::Value rows = parse(read_file(json.out));
    ASSERT_EQ(rows.size(), 10u);
    EXPECT_EQ(rows[2]["kind"].asString(), "dc");
    EXPECT_EQ(rows[2]["fields"]["voltage"].asDouble(), 53.5);
    EXPECT_EQ(rows[9]["fields"]["modules"].size(), 3u);  // the simulator's default group

    const Program csv = start(dir, {"history", "--db", dir.file("h.db"), "--format", "csv", "--device", "1"}, "csv");
    ASSERT_EQ(wait_for(csv), 0) << read_file(csv.err);
    const std::vector<std::string> csvLines = lines_of(read_file(csv.out));
    ASSERT_GT(csvLines.size(), 2u);
    EXPECT_EQ(csvLines[0], "id,saved_at,device,record,field,value");
    std::size_t currents = 0;
    for (std::size_t i = 1; i < csvLines.size(); ++i) {
        EXPECT_NE(csvLines[i].find(",1,5155,"), std::string::npos) << csvLines[i];
        if (csvLines[i].find(",modules.2.output_current,15") != std::string::npos) ++currents;
    }
    EXPECT_EQ(currents, 2u);
}

TEST(SitehostProgram, SigtermStopsCleanlyLeavingCompleteEventsAndHistory) {
    TempDir dir;
    const Program host = start(dir,
                               {"--plugin", KTR40E_PLUGIN_PATH, "--site", write_site(dir), "--events",
                                dir.file("events.jsonl"), "--db", dir.file("h.db")},
                               "run");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (lines_of(read_file(dir.file("events.jsonl"))).size() < 200 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(::kill(host.pid, SIGTERM), 0);
    ASSERT_EQ(wait_for(host), 0) << read_file(host.err);
    EXPECT_NE(read_file(host.out).find("stopped"), std::string::npos);

    const std::string text = read_file(dir.file("events.jsonl"));
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::vector<Json::Value> events;
    for (const std::string& line : lines_of(text)) events.push_back(parse(line));
    // Every image queued for saving was saved before the host ended.
    const auto store = site::HistoryStore::open(dir.file("h.db"), site::HistoryStore::Mode::ReadOnly);
    EXPECT_GT(count_kind(events, "history"), 0u);
    EXPECT_EQ(store->count(), count_kind(events, "history"));
}

TEST(SitehostProgram, RefusesASiteWithAUnitIdUsedTwice) {
    TempDir dir;
    Json::Value system = system_json(1, "/dev/null");
    system["dcSetting"][0]["data_id"] = ac_id(1, 0);
    std::ofstream(dir.file("site.json")) << system.toStyledString();
    const Program host = start(dir, {"--plugin", KTR40E_PLUGIN_PATH, "--site", dir.file("site.json")}, "run");
    EXPECT_EQ(wait_for(host), 2);
    EXPECT_NE(read_file(host.err).find("data id 101 is used twice"), std::string::npos) << read_file(host.err);
}

// A plug-in path that names nothing usable is the operator's to mend: exit 2, the path and the
// loader's reason named, and nothing written (the database is not even created).
TEST(SitehostProgram, APluginThatCannotBeUsedExitsTwoNamingItAndWritesNothing) {
    TempDir dir;
    std::ofstream(dir.file("site.json")) << system_json(1, "/dev/null").toStyledString();
    std::ofstream(dir.file("notes.so")) << std::string(256, '#') << "\n";  // long enough to be read as ELF
    const struct {
        std::string plugin;
        const char* reason;
    } cases[] = {{dir.file("missing.so"), "No such file or directory"},
                 {dir.file("notes.so"), "invalid ELF header"},
                 {"/lib/x86_64-linux-gnu/libm.so.6", "exports no get_providers"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plugin);
        const Program host =
            start(dir, {"--plugin", c.plugin, "--site", dir.file("site.json"), "--db", dir.file("history.db")}, "run");
        EXPECT_EQ(wait_for(host), 2);
        const std::string err = read_file(host.err);
        EXPECT_NE(err.find(c.plugin), std::string::npos) << err;
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_FALSE(std::ifstream(dir.file("history.db")).good());
    }
}

// ---- the history database ----

std::size_t saved_images(const std::string& db) {
    return site::HistoryStore::open(db, site::HistoryStore::Mode::ReadOnly)->count();
}

// Waits until the host has saved more than `images`; the database may not be there yet, or
// not have its tables.
void wait_for_history(const std::string& db, std::size_t images = 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            if (std::ifstream(db) && saved_images(db) > images) return;
        } catch (const std::runtime_error&) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "no new history saved in " << db;
}

TEST(SitehostProgram, TyposThatWouldOverwriteAFileAreRefusedLeavingEveryFileUntouched) {
    TempDir dir;
    const std::string site = write_site(dir);
    const std::string plugin = dir.file("ktr40e.so");
    std::ofstream(plugin, std::ios::binary) << read_file(KTR40E_PLUGIN_PATH);
    const std::string db = dir.file("h.db");
    site::HistoryStore::open(db)->save(1, 5155, {1, 2, 3}, 1);
    struct Case {
        std::vector<std::string> args;
        std::string named;
    };
    const Case cases[] = {
        {{"--events", db, "--db", db}, "--events " + db + ": the same file as the history database"},
        {{"--db", site}, "history database " + site + ": the same file as the site file"},
        {{"--db", plugin}, "history database " + plugin + ": the same file as the plug-in"},
        {{"--events", plugin, "--db", db}, "--events " + plugin + ": the same file as the plug-in"},
    };
    const std::map<std::string, std::string> before = {
        {site, read_file(site)}, {plugin, read_file(plugin)}, {db, read_file(db)}};
    int run = 0;
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--plugin", plugin, "--site", site, "--rounds", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Program host = start(dir, args, "typo" + std::to_string(run++));
        EXPECT_EQ(wait_for(host), 2) << c.named;
        EXPECT_NE(read_file(host.err).find(c.named), std::string::npos) << read_file(host.err);
        EXPECT_EQ(read_file(host.out), "") << c.named;
    }
    for (const auto& [path, content] : before) EXPECT_TRUE(read_file(path) == content) << path << " was changed";
    EXPECT_FALSE(std::ifstream(db + "-wal")) << "the database was opened";
}

// Another program (this test) takes the database's write lock for 6 s while rounds go on
// twice a second: the rounds wait, nothing is lost, and the values answer plain SQL.
TEST(SitehostProgram, ADatabaseHeldBusyForSixSecondsLosesNoImage) {
    TempDir dir;
    const std::string db = dir.file("h.db");
    const Program host = start(
        dir, {"--plugin", KTR40E_PLUGIN_PATH, "--site", write_site(dir, 0.5), "--rounds", "20", "--db", db}, "run");
    wait_for_history(db);
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    sqlite3_busy_timeout(holder, 10000);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::this_thread::sleep_for(std::chrono::seconds(6));
    ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(holder);
    ASSERT_EQ(wait_for(host), 0) << read_file(host.err);
    EXPECT_NE(read_file(host.out).find("history: 100 images saved, 0 failed"), std::string::npos)
        << read_file(host.out);
    EXPECT_NE(read_file(host.err).find("keeping the rounds and retrying"), std::string::npos) << read_file(host.err);
    EXPECT_EQ(saved_images(db), 100u);

    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* last = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(reader,
                                 "SELECT value FROM sample_values WHERE device=151 AND field='voltage' "
                                 "ORDER BY t DESC LIMIT 1",
                                 -1, &last, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(last), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_double(last, 0), 53.5);
    sqlite3_finalize(last);
    sqlite3_close(reader);

    const Program listing =
        start(dir, {"history", "--db", db, "--device", "151", "--field", "voltage", "--limit", "1"}, "listing");
    ASSERT_EQ(wait_for(listing), 0) << read_file(listing.err);
    const Json::Value rows = parse(read_file(listing.out));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["fields"], parse(R"({"voltage": 53.5})"));
    EXPECT_EQ(rows[0]["id"].asInt64(), 98);  // the newest DC image of unit 151: round 20's third image
}

// kill -9 at three moments while rounds are saved back to back: each restart finds every
// unit's newest image from one round, restores from it, and takes the database's lock, which
// a second host started beside a running one cannot.
TEST(SitehostProgram, KilledWhileSavingEveryUnitRestoresFromTheSameRound) {
    TempDir dir;
    const std::string site = write_site(dir);
    const std::string db = dir.file("h.db");
    const unsigned units[] = {1, ac_id(1, 0), ac_id(1, 1), dc_id(1, 0), dc_id(1, 1)};
    for (const int ms : {0, 170, 390}) {
        const std::size_t before = std::ifstream(db) ? saved_images(db) : 0;
        const Program host = start(dir, {"--plugin", KTR40E_PLUGIN_PATH, "--site", site, "--db", db}, "killed");
        wait_for_history(db, before);
        if (ms == 0) {
            const Program second =
                start(dir, {"--plugin", KTR40E_PLUGIN_PATH, "--site", site, "--db", db, "--rounds", "1"}, "second");
            EXPECT_EQ(wait_for(second), 1);
            EXPECT_NE(read_file(second.err).find(db + ": in use by another sitehost"), std::string::npos)
                << read_file(second.err);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        ASSERT_EQ(::kill(host.pid, SIGKILL), 0);
        EXPECT_EQ(wait_for(host), -1);
        const auto store = site::HistoryStore::open(db, site::HistoryStore::Mode::ReadOnly);
        std::set<std::int64_t> newest;
        for (const unsigned unit : units) newest.insert(store->newest(unit)->savedAtMs);
        EXPECT_EQ(newest.size(), 1u) << "after a kill " << ms << " ms into saving";
    }
    const Program restart =
        start(dir, {"--plugin", KTR40E_PLUGIN_PATH, "--site", site, "--db", db, "--rounds", "1"}, "restart");
    ASSERT_EQ(wait_for(restart), 0) << read_file(restart.err);
    std::set<std::string> times;
    for (const std::string& line : lines_of(read_file(restart.out))) {
        const auto from = line.find(": restored from the image of ");
        if (line.find(" info  restore ") != std::string::npos && from != std::string::npos)
            times.insert(line.substr(from, 52));
    }
    EXPECT_EQ(times.size(), 1u) << read_file(restart.out);
}

TEST(SitehostProgram, HistoryOfADamagedDatabaseIsAWholeDocumentAndAnError) {
    TempDir dir;
    const std::string db = dir.file("h.db");
    {
        auto store = site::HistoryStore::open(db);
        for (int i = 0; i < 400; ++i) store->save(7, 1, std::vector<std::uint8_t>(300, 1), i);
    }
    damage_middle(db);
    const Program listing = start(dir, {"history", "--db", db}, "listing");
    EXPECT_EQ(wait_for(listing), 1);
    const Json::Value rows = parse(read_file(listing.out));
    EXPECT_TRUE(rows.isArray() && !rows.empty()) << read_file(listing.out);
    EXPECT_NE(read_file(listing.err).find("error listing the history: "), std::string::npos) << read_file(listing.err);
}

// A port another host polls: a second host (or a second site host object) is refused at once,
// naming the port, and the first goes on polling.
TEST(SitehostProgram, SecondHostOnAPortInUseExitsOneNamingThePort) {
    TempDir dir;
    SimulatedSystem line;
    HostRun first(site_of({system_json(1, line.port)}), options_for(dir, 3));

    try {
        site::SiteOptions options = options_for(dir, 1);
        options.pluginPath = KTR40E_PLUGIN_PATH;
        options.dbPath = dir.file("second.db");
        options.print = [](const std::string&) {};
        options.console = [](site::Level, const std::string&) {};
        site::SiteHost second(site_of({system_json(1, line.port)}), options);
        ADD_FAILURE() << "a second host object opened the port in use";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "port " + line.port + ": in use by another program");
    }

    std::ofstream(dir.file("site.json")) << system_json(1, line.port).toStyledString();
    const Program second = start(
        dir, {"--plugin", KTR40E_PLUGIN_PATH, "--site", dir.file("site.json"), "--db", dir.file("p.db")}, "second");
    EXPECT_EQ(wait_for(second, std::chrono::seconds(10)), 1);
    EXPECT_NE(read_file(second.err).find("error port " + line.port + ": in use by another program"), std::string::npos)
        << read_file(second.err);

    first.run();
    EXPECT_EQ(first.host->runners().front()->rounds(), 3u);
}

// A commissioning check on a port that is not there: the reason within the first second, and
// exit status 3 with the counts once the give-up time has passed without a round.
TEST(SitehostProgram, RoundLimitOnADeadPortGivesUpWithStatusThree) {
    TempDir dir;
    Json::Value system = system_json(1, dir.file("ttyUSB9"));
    system["give_up_s"] = 2;
    std::ofstream(dir.file("site.json")) << system.toStyledString();
    const Program host = start(
        dir,
        {"--plugin", KTR40E_PLUGIN_PATH, "--site", dir.file("site.json"), "--db", dir.file("d.db"), "--rounds", "1"},
        "run");
    EXPECT_EQ(wait_for(host, std::chrono::seconds(30)), 3);
    const std::string err = read_file(host.err);
    EXPECT_NE(
        err.find("error power system 1: line failed: " + dir.file("ttyUSB9") + ": open: No such file or directory"),
        std::string::npos)
        << err;
    // Requests that could not go out are told as that, never as reply timeouts.
    const std::regex givenUp(
        R"(power system 1: no complete round in 2 s: 0 reply timeouts, 0 answers refused, \d+ requests not sent)");
    EXPECT_TRUE(std::regex_search(err, givenUp)) << err;
    EXPECT_NE(read_file(host.out).find("info  power system 1: port " + dir.file("ttyUSB9") +
                                       " 9600 8N1, address 1, reply timeout 0.1 s"),
              std::string::npos)
        << read_file(host.out);
}

}  // namespace
}  // namespace e2e
