// The sitehost program itself: its event file, its stop on SIGTERM and its history listing.
#include <signal.h>

#include "program_support.h"
#include "site/history_store.h"

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

}  // namespace
}  // namespace e2e
