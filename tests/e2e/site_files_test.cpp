// What the host reads and writes: the site file, the history database, the event file and
// the decoded images.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "site/host/image_layouts.h"
#include "site/host/json_text.h"
#include "site/trace/event_log.h"
#include "site/store/history_listing.h"
#include "site/run/runner.h"
#include "site/store/history_writer.h"
#include "site_fixture.h"

namespace e2e {
namespace {

using Bytes = std::vector<std::uint8_t>;

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// ---- site file ----

Json::Value one_system() { return system_json(1, "/dev/ttyS1"); }

TEST(SiteFile, OneSystemKeepsItsSettingsWholeWithTheHostDefaults) {
    Json::Value root = one_system();
    root.removeMember("min_round_gap");
    root.removeMember("reply_timeout_ms");
    const site::SiteConfig site = site::parse_site(root, "/etc/site/");
    ASSERT_EQ(site.systems.size(), 1u);
    const site::SystemConfig& system = site.systems[0];
    EXPECT_EQ(system.dataId, 1u);
    EXPECT_EQ(system.port, "/dev/ttyS1");
    EXPECT_EQ(system.baud, 9600);
    EXPECT_EQ(system.minRoundGap, 2);
    EXPECT_EQ(system.pollInterval, 0);
    EXPECT_FALSE(system.trustDataflag);
    EXPECT_EQ(system.replyTimeout, std::chrono::milliseconds(1500));
    EXPECT_EQ(system.settings, root);  // handed to InitSetting as it stands
    EXPECT_TRUE(site.db.empty());
}

TEST(SiteFile, SystemsListResolvesFilesBesideTheSiteFile) {
    TempDir dir;
    std::ofstream(dir.file("sim.json")) << R"({"baud": 0, "ac": 3})";
    Json::Value second = system_json(2, "/dev/ttyS2");
    second["simulator"] = "sim.json";
    second["poll_interval"] = 5;
    second["trust_dataflag"] = true;
    second["baud"] = 19200;
    Json::Value root;
    root["db"] = "history.db";
    root["systems"].append(one_system());
    root["systems"].append(second);
    const site::SiteConfig site = site::parse_site(root, dir.path());
    ASSERT_EQ(site.systems.size(), 2u);
    EXPECT_EQ(site.db, dir.file("history.db"));
    EXPECT_EQ(site.systems[1].simulator["ac"].asInt(), 3);
    EXPECT_EQ(site.systems[1].pollInterval, 5);
    EXPECT_TRUE(site.systems[1].trustDataflag);
    EXPECT_EQ(site.systems[1].baud, 19200);
    EXPECT_TRUE(site.systems[0].simulator.isNull());
}

void expect_refused(const Json::Value& root, const std::string& words) {
    try {
        site::parse_site(root, "");
        ADD_FAILURE() << "accepted: " << root.toStyledString();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    }
}

TEST(SiteFile, RefusesWhatWouldMixHistoriesOrCannotBePolled) {
    Json::Value twice;
    twice["systems"].append(one_system());
    twice["systems"].append(system_json(2, "/dev/ttyS2"));
    twice["systems"][1]["acSetting"][0]["data_id"] = 1;  // the first system's own id
    expect_refused(twice, "data id 1 is used twice");

    Json::Value gap = one_system();
    gap["min_round_gap"] = 1;
    expect_refused(gap, "min_round_gap");
    Json::Value baud = one_system();
    baud["baud"] = 1000;
    expect_refused(baud, "baud");
    Json::Value noId = one_system();
    noId.removeMember("data_id");
    expect_refused(noId, "data_id");
    Json::Value version = one_system();
    version["protocol_version"] = "0x21";
    expect_refused(version, "protocol_version");
    Json::Value timeout = one_system();
    timeout["reply_timeout_ms"] = 0;
    expect_refused(timeout, "reply_timeout_ms");
    Json::Value empty;
    empty["systems"] = Json::Value(Json::arrayValue);
    expect_refused(empty, "systems");

    // The line's own keys: each wrong value is named.
    const std::vector<std::pair<const char*, Json::Value>> wrongLine = {
        {"settle_ms", -1},
        {"settle_ms", 60001},
        {"settle_ms", 2.5},
        {"echo", "yes"},
        {"echo", 1},
        {"parity", "mark"},
        {"parity", 0},
        {"stop_bits", 3},
        {"stop_bits", 1.5},
        {"give_up_s", -1},
        {"give_up_s", "60"},
        {"port", "tcp://127.0.0.1"},
        {"port", "tcp://:5000"},
        {"port", "tcp://127.0.0.1:70000"},
        {"port", 5},
    };
    for (const auto& [key, value] : wrongLine) {
        Json::Value wrong = one_system();
        wrong[key] = value;
        expect_refused(wrong, key);
    }
}

TEST(SiteFile, LineKeysReadWithTheirDefaults) {
    const site::SystemConfig plain = site::parse_site(one_system(), "").systems.front();
    EXPECT_EQ(plain.settle, std::chrono::milliseconds(300));
    EXPECT_EQ(plain.echo, site::EchoMode::Auto);
    EXPECT_EQ(line::format_text(plain.format), "8N1");
    EXPECT_EQ(plain.giveUp, 60.0);

    Json::Value set = one_system();
    set["port"] = "tcp://127.0.0.1:4001";
    set["settle_ms"] = 0;
    set["echo"] = true;
    set["parity"] = "odd";
    set["stop_bits"] = 2;
    set["give_up_s"] = 0;
    const site::SystemConfig line = site::parse_site(set, "").systems.front();
    EXPECT_EQ(line.port, "tcp://127.0.0.1:4001");
    EXPECT_EQ(line.settle, std::chrono::milliseconds(0));
    EXPECT_EQ(line.echo, site::EchoMode::Required);
    EXPECT_EQ(line::format_text(line.format), "8O2");
    EXPECT_EQ(line.giveUp, 0.0);
    set["echo"] = false;
    set["parity"] = "even";
    EXPECT_EQ(site::parse_site(set, "").systems.front().echo, site::EchoMode::Off);
    EXPECT_EQ(line::format_text(site::parse_site(set, "").systems.front().format), "8E2");
}

TEST(SiteFile, QueriesAreNameAtDataId) {
    const site::QuerySpec query = site::parse_query("channel_0_a@11");
    EXPECT_EQ(query.name, "channel_0_a");
    EXPECT_EQ(query.dataId, 11u);
    EXPECT_EQ(site::parse_query("odd@name@4294967295").name, "odd@name");
    EXPECT_EQ(site::parse_query("odd@name@4294967295").dataId, 4294967295u);
    for (const char* bad : {"v", "@12", "v@", "v@x1", "v@4294967296", "v@-1"})
        EXPECT_THROW(site::parse_query(bad), std::invalid_argument) << bad;
}

// ---- images ----

void put_float(Bytes& image, std::size_t at, float value) { std::memcpy(&image[at], &value, 4); }

TEST(Images, AcImageDecodesUnitAndChannels) {
    Bytes image(37 + 2 * 28, 0);
    image[0] = 0x0B;
    put_float(image, 4, 21.5f);
    image[16] = 2;  // channel_count
    image[27] = 3;  // ia_alert
    const std::uint8_t time[7] = {0xE8, 0x07, 5, 6, 7, 8, 9};
    std::memcpy(&image[30], time, 7);
    put_float(image, 37 + 28 + 12, 49.75f);  // second channel's f
    image[37 + 28 + 27] = 0xAA;              // its last user-defined alarm byte

    const site::DecodedImage decoded = site::decode_image(site::kAcRecord, image);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.fields["device_id"].asUInt(), 11u);
    EXPECT_EQ(decoded.fields["ia"].asFloat(), 21.5f);
    EXPECT_EQ(decoded.fields["ia_alert"].asUInt(), 3u);
    EXPECT_EQ(decoded.fields["update_time"].asString(), "2024-05-06 07:08:09");
    ASSERT_EQ(decoded.fields["channels"].size(), 2u);
    EXPECT_EQ(decoded.fields["channels"][1]["f"].asFloat(), 49.75f);
    EXPECT_EQ(decoded.fields["channels"][1]["p40_44_value"][5].asUInt(), 0xAAu);
}

TEST(Images, ImagesOfTheWrongLengthAreNamedNotRead) {
    Bytes ac(37 + 28 + 1, 0);
    ac[16] = 1;
    const site::DecodedImage longer = site::decode_image(site::kAcRecord, ac);
    EXPECT_FALSE(longer.ok);
    EXPECT_NE(longer.error.find("66 bytes does not fit the AC unit record (65 bytes)"), std::string::npos)
        << longer.error;
    EXPECT_EQ(longer.fields["channel_count"].asUInt(), 1u);  // the head is still shown
    EXPECT_FALSE(site::decode_image(site::kDcRecord, Bytes(189, 0)).ok);
    EXPECT_FALSE(site::decode_image(site::kRcRecord, Bytes(56, 0)).ok);
    Bytes rc(57 + 18, 0);
    rc[49] = 2;  // two modules announced, one present
    EXPECT_FALSE(site::decode_image(site::kRcRecord, rc).ok);
    EXPECT_FALSE(site::decode_image(5156, Bytes(57, 0)).ok);
    EXPECT_FALSE(site::decode_image(site::kAcRecord, Bytes()).ok);
}

TEST(Images, DcAndRectifierImagesDecodeEveryField) {
    Bytes dc(190, 0);
    put_float(dc, 4, 53.5f);
    dc[12] = 9;  // dc_m beyond its capacity of 4: stored as received
    put_float(dc, 13 + 12, 6.25f);
    dc[182] = 0xE2;  // alert_p[16]
    const site::DecodedImage d = site::decode_image(site::kDcRecord, dc);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.fields["voltage"].asFloat(), 53.5f);
    EXPECT_EQ(d.fields["dc_m"].asUInt(), 9u);
    ASSERT_EQ(d.fields["m_value"].size(), 4u);
    EXPECT_EQ(d.fields["m_value"][3].asFloat(), 6.25f);
    EXPECT_EQ(d.fields["alert_p"][16].asUInt(), 0xE2u);

    Bytes rc(57 + 2 * 18, 0);
    put_float(rc, 45, 53.75f);
    rc[49] = 2;
    put_float(rc, 57 + 18, 17.5f);
    rc[57 + 18 + 15] = 1;  // second module's fault
    const site::DecodedImage r = site::decode_image(site::kRcRecord, rc);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.fields["output_voltage"].asFloat(), 53.75f);
    EXPECT_EQ(r.fields["modules"][1]["output_current"].asFloat(), 17.5f);
    EXPECT_EQ(r.fields["modules"][1]["fault"].asUInt(), 1u);
}

TEST(Images, FloatsPrintShortAndNonNumbersBecomeNull) {
    EXPECT_EQ(site::float_text(53.6f), "53.6");
    EXPECT_EQ(site::float_text(-0.1f), "-0.1");
    EXPECT_TRUE(site::float_json(std::nanf("")).isNull());
    EXPECT_TRUE(site::float_json(INFINITY).isNull());
    std::ostringstream out;
    site::make_line_writer()->write(site::float_json(380.1f), &out);
    EXPECT_EQ(out.str(), "380.1");
}

// ---- event lines ----

std::optional<std::string> line_of(const site::Event& event) {
    static const auto writer = site::make_line_writer();
    return site::event_line(event, *writer);
}

site::Event event_of(site::EventKind kind) {
    site::Event event;
    event.kind = kind;
    return event;
}

TEST(EventLines, LineLayoutsOfTheLineCalls) {
    site::Event tx = event_of(site::EventKind::Request);
    tx.cid1 = 0x40;
    tx.cid2 = 0x41;
    tx.bytes = {0xFF};
    EXPECT_EQ(line_of(tx), R"({"event":"tx","cid1":64,"cid2":65,"info":"FF"})");
    site::Event rx = event_of(site::EventKind::Answer);
    rx.cid1 = 0x41;
    rx.rtn = 0x90;
    rx.bytes = {0xAB, 0x01, 0x0c};
    EXPECT_EQ(line_of(rx), R"({"event":"rx","cid1":65,"rtn":144,"info":"AB010C"})");
    EXPECT_EQ(line_of(event_of(site::EventKind::Reset)), R"({"event":"reset"})");
    site::Event publish = event_of(site::EventKind::Publish);
    publish.device = 21;
    publish.record = 5154;
    publish.bytes = {0x00, 0xfe};
    EXPECT_EQ(line_of(publish), R"({"event":"publish","device":21,"record":5154,"image":"00FE"})");
    publish.kind = site::EventKind::History;
    EXPECT_EQ(line_of(publish), R"({"event":"history","device":21,"record":5154,"image":"00FE"})");
    site::Event discard = event_of(site::EventKind::Discard);
    discard.device = 3;
    discard.text = "late answer";
    discard.count = 82;
    EXPECT_EQ(line_of(discard), R"({"event":"discard","device":3,"reason":"late answer","bytes":82})");
    site::Event times = event_of(site::EventKind::AnswerTimes);
    times.device = 3;
    times.answerTimes = {{{0x42, 0x44}, std::chrono::microseconds(1231400), std::chrono::microseconds(1845999)},
                         {{0x40, 0x51}, std::chrono::microseconds(31000), std::chrono::microseconds(375000)}};
    EXPECT_EQ(line_of(times), R"({"event":"answer_times","device":3,"seconds":{"40/51":{"answer":0.031,"wait":0.375},)"
                              R"("42/44":{"answer":1.231,"wait":1.845}}})");
    for (const site::EventKind hostOwn : {site::EventKind::Rejected, site::EventKind::Timeout, site::EventKind::Round,
                                          site::EventKind::Raised, site::EventKind::Cleared, site::EventKind::Batch})
        EXPECT_FALSE(line_of(event_of(hostOwn))) << site::to_string(hostOwn);
}

TEST(EventLines, AlarmsLogsAndQueriesKeepTheirTextsIntact) {
    site::Event alarm = event_of(site::EventKind::Alarm);
    alarm.device = 1;
    alarm.level = 2;
    alarm.key = "RC_0";
    alarm.code = "06024";
    alarm.name = "整流模块故障告警";
    alarm.text = "模块2 \"quoted\"\n\ttab\\";
    alarm.active = true;
    alarm.seq = 3;
    const std::string line = *line_of(alarm);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line.rfind(
                  R"({"event":"alarm","device":1,"level":2,"key":"RC_0","code":"06024","name":"整流模块故障告警",)", 0),
              0u)
        << line;
    const Json::Value parsed = parse(line);
    EXPECT_EQ(parsed["text"].asString(), alarm.text);
    EXPECT_TRUE(parsed["active"].asBool());
    EXPECT_EQ(parsed["seq"].asInt(), 3);

    alarm.kind = site::EventKind::AlertMap;
    alarm.state = 4;
    const Json::Value map = parse(*line_of(alarm));
    EXPECT_EQ(map["state"].asInt(), 4);
    EXPECT_FALSE(map.isMember("active"));

    site::Event log = event_of(site::EventKind::Log);
    log.device = 7;
    log.format = "PMBusPower:ProcotolError {} read ac_number is {}, {}";
    log.args = {{site::LogValue::Kind::Unsigned, 7, 0, ""},
                {site::LogValue::Kind::Signed, 0, -5, ""},
                {site::LogValue::Kind::Text, 0, 0, "a\"b"}};
    EXPECT_EQ(
        line_of(log),
        R"({"event":"log","device":7,"format":"PMBusPower:ProcotolError {} read ac_number is {}, {}","args":[7,-5,"a\"b"]})");

    site::Event query = event_of(site::EventKind::Query);
    query.device = 11;
    query.key = "channel_0_a";
    query.value = 380.1f;
    EXPECT_EQ(line_of(query), R"({"event":"query","device":11,"name":"channel_0_a","value":380.1})");
    query.failed = true;
    query.text = "数据已超时";
    EXPECT_EQ(line_of(query), R"({"event":"query","device":11,"name":"channel_0_a","error":"数据已超时"})");
}

TEST(EventLines, LinesFromManyThreadsStayWhole) {
    TempDir dir;
    {
        site::EventLog log(dir.file("events.jsonl"));
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&log, t] {
                site::Event history = event_of(site::EventKind::History);
                history.device = static_cast<unsigned>(t);
                history.bytes.assign(300, static_cast<std::uint8_t>(t));
                for (int i = 0; i < 200; ++i) log.on_event(history);
            });
        }
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(log.lines(), 800u);
    }
    std::ifstream in(dir.file("events.jsonl"));
    std::size_t lines = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        const Json::Value event = parse(line);
        EXPECT_EQ(event["image"].asString().size(), 600u);
    }
    EXPECT_EQ(lines, 800u);
}

// ---- history database ----

TEST(HistoryDatabase, KeepsEveryImageAndFindsEachUnitsNewest) {
    TempDir dir;
    auto store = site::HistoryStore::open(dir.file("h.db"));
    store->save(11, 5153, {0x00, 0x01, 0x00}, 1000);
    store->save(21, 5154, {0x02}, 2000);
    store->save(11, 5153, {0x03, 0x00}, 3000);
    EXPECT_EQ(store->count(), 3u);
    EXPECT_EQ(store->count(11), 2u);
    const auto newest = store->newest(11);
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->image, (Bytes{0x03, 0x00}));
    EXPECT_EQ(newest->savedAtMs, 3000);
    EXPECT_EQ(newest->record, 5153);
    EXPECT_FALSE(store->newest(99));
    store.reset();

    const auto reader = site::HistoryStore::open(dir.file("h.db"), site::HistoryStore::Mode::ReadOnly);
    std::vector<std::int64_t> ids;
    reader->for_each([&](const site::StoredImage& s) { ids.push_back(s.savedAtMs); });
    EXPECT_EQ(ids, (std::vector<std::int64_t>{1000, 2000, 3000}));
}

TEST(HistoryDatabase, SavesFromManyThreadsAreAllKept) {
    TempDir dir;
    auto store = std::shared_ptr<site::HistoryStore>(site::HistoryStore::open(dir.file("h.db")));
    site::HistoryWriter writer(store, nullptr);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) {
        threads.emplace_back([&writer, t] {
            const Bytes image(57, 1);
            for (int i = 0; i < 50; ++i) writer.save_image(t, 5155, image.data(), image.size());
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(writer.flush(std::chrono::seconds(30)));
    EXPECT_EQ(writer.saved(), 200u);
    EXPECT_EQ(store->count(), 200u);
    EXPECT_EQ(store->count(3), 50u);
}

TEST(HistoryDatabase, UnreadableFileIsMovedAsideAndANewOneStarted) {
    TempDir dir;
    const std::string path = dir.file("h.db");
    std::ofstream(path) << std::string("SQLite format 3", 16) << std::string(4080, 'x');
    std::ofstream(path + "-wal") << "stale";
    std::string notice;
    auto store = site::HistoryStore::open(path, site::HistoryStore::Mode::ReadWrite, &notice);
    ASSERT_NE(notice.find("moved it to " + path + ".unreadable-"), std::string::npos) << notice;
    const std::string aside = notice.substr(notice.find(path + ".unreadable-"));
    const std::string asideName = aside.substr(0, aside.find(' '));
    EXPECT_TRUE(exists(asideName));
    store->save(1, 5155, {1, 2, 3}, 5);
    EXPECT_EQ(store->count(), 1u);
}

TEST(HistoryDatabase, ReaderAndForeignDatabasesAreNeverMoved) {
    TempDir dir;
    const std::string garbage = dir.file("garbage.db");
    std::ofstream(garbage) << std::string(4096, 'x');
    EXPECT_THROW(site::HistoryStore::open(garbage, site::HistoryStore::Mode::ReadOnly), std::runtime_error);
    EXPECT_TRUE(exists(garbage));

    const std::string foreign = dir.file("foreign.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE history (id INTEGER PRIMARY KEY, what TEXT)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    EXPECT_THROW(site::HistoryStore::open(foreign), std::runtime_error);
    EXPECT_TRUE(exists(foreign));
}

TEST(HistoryDatabase, ListingShowsUndecodableImagesRaw) {
    TempDir dir;
    auto store = site::HistoryStore::open(dir.file("h.db"));
    store->save(21, 5154, {0xDE, 0xAD}, 0);
    std::ostringstream json;
    site::list_history_json(*store, json);
    const Json::Value rows = parse(json.str());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["image"].asString(), "DEAD");
    EXPECT_EQ(rows[0]["kind"].asString(), "dc");
    EXPECT_NE(rows[0]["error"].asString().find("2 bytes"), std::string::npos);
    std::ostringstream csv;
    site::list_history_csv(*store, csv);
    EXPECT_NE(csv.str().find(",21,5154,image,DEAD\n"), std::string::npos) << csv.str();
    EXPECT_NE(csv.str().find(",21,5154,error,image of 2 bytes does not fit the DC unit record (190 bytes)\n"),
              std::string::npos)
        << csv.str();
}

}  // namespace
}  // namespace e2e
