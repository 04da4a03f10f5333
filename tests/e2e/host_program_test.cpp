// The programs as an operator meets them: command lines, site files, console, exit statuses
// and an event trace that neither blocks polling nor loses its past.
#include <sys/resource.h>
#include <sys/stat.h>

#include <regex>

#include "program_support.h"
#include "site/trace/event_log.h"
#include "site/trace/trace_file.h"
#include "site/config/usage_error.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

std::string folder_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

// Waits until `done` holds (true) or `limit` has passed (false).
template <typename Done>
bool wait_until(Done done, std::chrono::seconds limit = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Every line of an event file is a whole JSON object.
std::vector<Json::Value> events_of(const std::string& text) {
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "the last line is cut";
    std::vector<Json::Value> events;
    for (const std::string& line : lines_of(text)) events.push_back(parse(line));
    return events;
}

TEST(CommandLines, EachProgramNamesWhatIsWrongAndExits2) {
    TempDir dir;
    const std::string site = write_site(dir);
    const std::string db = "--db=" + dir.file("h.db");
    const std::string simTypo = dir.file("sim.json");
    std::ofstream(simTypo) << R"({"faults": {"dorp": 0.1}})";
    const struct {
        std::string program;
        std::vector<std::string> args;
        int status;
        std::string says;  // in standard output for status 0, else in standard error
    } cases[] = {
        {SITEHOST_PATH, {"--plugin", KTR40E_PLUGIN_PATH, "--site", site, "--rounds"}, 2, "--rounds needs a value"},
        {SITEHOST_PATH, {"--plugin", KTR40E_PLUGIN_PATH, "--site", site, "--bogus", "1"}, 2, "unknown option --bogus"},
        {SITEHOST_PATH, {"--plugin", KTR40E_PLUGIN_PATH, "--site", site, "--rounds=-1"}, 2, "--rounds"},
        {SITEHOST_PATH, {"--plugin", KTR40E_PLUGIN_PATH, "--query", "v"}, 2, "NAME@DATAID"},
        {SITEHOST_PATH, {"--site", site}, 2, "--plugin and --site are required"},
        {SITEHOST_PATH, {"history", "--format", "xml"}, 2, "--format"},
        {SITEHOST_PATH, {"--version"}, 0, "sitehost 1."},
        {SITEHOST_PATH, {"history", "--help"}, 0, "--device"},
        // A bare name is a file of the working folder, never one the library path finds.
        {SITEHOST_PATH, {"--plugin", "libc.so.6", "--site", site, db}, 2, "./libc.so.6"},
        {SITEHOST_PATH, {"discover"}, 2, "discover needs --port, or --check --site FILE"},
        {SITEHOST_PATH, {"discover", "--port", "/dev/null", "--address", "1-255"}, 2, "not an address from 1 to 254"},
        {SITEHOST_PATH, {"discover", "--port", "tcp://host"}, 2, "tcp://HOST:PORT"},
        {SITEHOST_PATH, {"discover", "--check"}, 2, "--site"},
        {SITEHOST_PATH, {"discover", "--check", "--site", site, "--port", "/dev/null"}, 2, "excludes"},
        {SITEHOST_PATH, {"discover", "--check", "--site", dir.file("none.json")}, 2, "cannot be read"},
        {SIM_PATH, {"--drop", "2"}, 2, "--drop"},
        {SIM_PATH, {"--port", "/dev/null", "--pty"}, 2, "excludes"},
        {SIM_PATH, {"--overcount-kind", "none"}, 2, "no overcount none"},
        {SIM_PATH, {"--version"}, 0, "ktr40e-sim 1."},
        {SIM_PATH,
         {"--config", simTypo},
         2,
         simTypo + R"(: simulator configuration: faults: unknown key "dorp" (did you mean "drop"?))"},
        {SIM_PATH, {"--config", dir.file("none.json")}, 2, "none.json: cannot be read: No such file or directory"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const Program program = start(dir, c.args, "case" + std::to_string(++n), c.program);
        EXPECT_EQ(wait_for(program), c.status) << c.args.back();
        const std::string said = read_file(c.status == 0 ? program.out : program.err);
        EXPECT_NE(said.find(c.says), std::string::npos) << c.args.back() << ": " << said;
    }
    // --opt=value, and the plug-in by its bare name from its own folder.
    const Program bare = start(dir, {"--plugin=ktr40e.so", "--site=" + site, "--rounds=1", db}, "bare", SITEHOST_PATH,
                               folder_of(KTR40E_PLUGIN_PATH));
    EXPECT_EQ(wait_for(bare), 0) << read_file(bare.err);
}

TEST(SiteFiles, EachMistakeIsRefusedNamingTheFileAndTheKey) {
    TempDir dir;
    const std::string good = R"({"data_id": 1, "port": "/dev/ttyS0", "baud": 9600, "address": 1,
        "protocol_version": 33, "poll_interval": 3, "min_round_gap": 2, "trust_dataflag": false,
        "reply_timeout_ms": 1500, "simulator": {}, "db": "h.db", "rcSetting": {"modules": 4},
        "acSetting": [{"data_id": 11, "channels": 2, "appSetting": {"diff_v": "5", "diff_i": 3}}], "dcSetting": []})";
    const std::string listed = R"({"systems": [{"data_id": 1, "rcSetting": {}, "acSetting": [{"data_id": 11}, %]}]})";
    auto in_list = [&](const std::string& unit) { return std::regex_replace(listed, std::regex("%"), unit); };
    const struct {
        std::string text;
        std::string says;
    } cases[] = {
        {R"({"data_id": 1, "rcSetting": {}, "bauds": 9600})", R"(unknown key "bauds" (did you mean "baud"?))"},
        {R"({"data_id": 1, "rcSetting": {}, "poll_intervall": 3})", R"((did you mean "poll_interval"?))"},
        {R"({"data_id": 1, "rcSetting": {"appSettings": {}}})",
         R"(rcSetting: unknown key "appSettings" (did you mean "appSetting"?))"},
        {R"({"data_id": 1, "rcSetting": {}, "colour": 3})",
         R"(unknown key "colour" (known here: db, history_keep_days, mqtt, metrics_file, data_id)"},
        {R"({"data_id": 1, "rcSetting": {}, "acSetting": {"data_id": 11}})", "acSetting: must be an array of objects"},
        {R"({"data_id": 1, "rcSetting": {}, "acSetting": "11"})", "acSetting: must be an array of objects"},
        {R"({"data_id": 1, "rcSetting": [], "dcSetting": []})", "rcSetting: must be an object"},
        {R"({"data_id": 1})", "rcSetting: is missing"},
        {R"({"data_id": 1, "rcSetting": {}, "protocol_version": 7})",
         "protocol_version: must be 32 (0x20) or 33 (0x21)"},
        {R"({"data_id": 1, "rcSetting": {}, "address": 0})", "address: must be an integer 1–254"},
        {R"({"data_id": 1, "rcSetting": {}, "baud": 9601})", "baud: must be one of 300,"},
        {R"({"data_id": 1, "rcSetting": {}, "min_round_gap": 1})", "min_round_gap: must be 0 or at least 2"},
        {R"({"data_id": 1, "rcSetting": {}, "trust_dataflag": "yes"})", "trust_dataflag: must be true or false"},
        {in_list(R"({"data_id": 99999999999})"), "systems[0].acSetting[1].data_id: must be an integer 1–4294967295"},
        {in_list(R"({"data_id": 12, "appSetting": {"diff_v": "x"}})"),
         "systems[0].acSetting[1].appSetting.diff_v: must be a number"},
        {in_list(R"({"data_id": 11})"), "systems[0].acSetting[1].data_id: data id 11 is used twice"},
        {in_list("7"), "systems[0].acSetting[1]: must be an object"},
        {in_list(R"({"data_id": 12, "channels": 256})"), "systems[0].acSetting[1].channels: must be an integer 0–255"},
        {R"({"data_id": 1, "rcSetting": {"modules": -1}})", "rcSetting.modules: must be an integer 0–255"},
        {R"({"data_id": 1, "rcSetting": {}, "dcSetting": [{"data_id": 21, "channels": 2}]})",
         R"(dcSetting[0]: unknown key "channels")"},
        {R"({"systems": []})", "systems: must hold at least one object"},
        {R"({"data_id": 1, "rcSetting": {}, "baud": 9600, "baud": 4800})", "Duplicate key: 'baud'"},
        {R"({"data_id": 1, "rcSetting": {}} trailing)", "Extra non-whitespace after JSON value"},
        {"// a comment\n{\"data_id\": 1, \"rcSetting\": {}}", "line 1, column 1: comments are not allowed"},
        {"[1, 2]", "must be a JSON object"},
    };
    const std::string path = dir.file("site.json");
    std::ofstream(path) << good;
    EXPECT_NO_THROW(site::load_site_file(path));
    for (const auto& c : cases) {
        std::ofstream(path) << c.text;
        try {
            site::load_site_file(path);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const site::UsageError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(path + ": ", 0), 0u) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
    // The program refuses it with exit 2, before touching anything.
    std::ofstream(path) << cases[0].text;
    const Program host = start(dir, {"--plugin", KTR40E_PLUGIN_PATH, "--site", path, "--db", dir.file("h.db")}, "run");
    EXPECT_EQ(wait_for(host), 2);
    EXPECT_NE(read_file(host.err).find("did you mean \"baud\""), std::string::npos) << read_file(host.err);
    struct stat info {};
    EXPECT_NE(::stat(dir.file("h.db").c_str(), &info), 0) << "no database made for a refused site";
}

TEST(Console, LevelsChooseWhatIsShownAndTheTraceAlwaysReachesTheAppendedEventFile) {
    TempDir dir;
    const std::string site = write_site(dir);
    const std::string events = dir.file("events.jsonl");
    const struct {
        const char* flag;
        std::vector<std::string> shown;
        std::vector<std::string> hidden;
    } cases[] = {
        {"", {" info  == power system 1, round 1", " info  history: 5 images saved, 0 failed"}, {"plug-in:"}},
        {"-v", {" debug plug-in: parse 42 41:", " info  == power system 1, round 1"}, {}},
        {"-q", {}, {" info "}},
    };
    const std::regex stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (debug|info |warn |error) .*)");
    std::string before;
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--plugin", KTR40E_PLUGIN_PATH, "--site",   site,  "--rounds", "1",
                                         "--db",     dir.file("h.db"),   "--events", events};
        if (*c.flag != '\0') args.push_back(c.flag);
        const Program host = start(dir, args, "run");
        ASSERT_EQ(wait_for(host), 0) << read_file(host.err);
        const std::string out = read_file(host.out);
        for (const std::string& line : lines_of(out)) {
            if (line.rfind("  ", 0) != 0) {
                EXPECT_TRUE(std::regex_match(line, stamped)) << c.flag << ": " << line;
            }
        }
        for (const std::string& words : c.shown) EXPECT_NE(out.find(words), std::string::npos) << c.flag << ": " << out;
        for (const std::string& words : c.hidden)
            EXPECT_EQ(out.find(words), std::string::npos) << c.flag << ": " << out;
        if (std::string(c.flag) == "-q") {
            EXPECT_TRUE(out.empty()) << out;
        }

        // Each run appends: the earlier runs' lines stay as they were.
        const std::string now = read_file(events);
        EXPECT_EQ(now.compare(0, before.size(), before), 0) << c.flag;
        const std::string added = now.substr(before.size());
        std::size_t traces = 0;
        for (const Json::Value& event : events_of(added)) traces += event["event"] == "trace" ? 1 : 0;
        EXPECT_GE(traces, 2u) << c.flag << ": the plug-in's DC trace lines, one per unit";
        before = now;
    }
}

TEST(ExitStatus, RoundsNotCompletedAreNamedAndExit3) {
    TempDir dir;
    Json::Value system = parse(read_file(write_site(dir)));
    system["poll_interval"] = 600;  // the second round would come only after ten minutes
    std::ofstream(dir.file("site.json")) << system.toStyledString();
    const Program host = start(
        dir,
        {"--plugin", KTR40E_PLUGIN_PATH, "--site", dir.file("site.json"), "--rounds", "5", "--db", dir.file("h.db")},
        "run");
    ASSERT_TRUE(wait_until([&] {
        return read_file(host.out).find("history: ") != std::string::npos ||
               read_file(host.out).find("round 1 ") != std::string::npos;
    }));
    ::kill(host.pid, SIGTERM);
    EXPECT_EQ(wait_for(host), 3);
    EXPECT_NE(read_file(host.err).find("lost: power system 1 completed 1 of 5 rounds"), std::string::npos)
        << read_file(host.err);
}

TEST(Console, ClosedStandardOutputEndsTheHostCleanly) {
    TempDir dir;
    const std::string out = dir.file("run.out");
    ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
    const int reader = ::open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const Program host =
        start(dir, {"--plugin", KTR40E_PLUGIN_PATH, "--site", write_site(dir), "--db", dir.file("h.db")}, "run");
    // `| head -1`: one line read, then the reader goes.
    char byte = 0;
    ASSERT_TRUE(wait_until([&] { return ::read(reader, &byte, 1) == 1 && byte == '\n'; }));
    ::close(reader);
    EXPECT_EQ(wait_for(host), 0) << "ended by a signal, or hung: " << read_file(host.err);
}

TEST(EventTrace, StalledFifoNeitherHoldsUpPollingNorTheStop) {
    TempDir dir;
    const std::string fifo = dir.file("events.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // opened, never read
    ASSERT_GE(reader, 0);
    const Program host = start(
        dir, {"--plugin", KTR40E_PLUGIN_PATH, "--site", write_site(dir), "--events", fifo, "--db", dir.file("h.db")},
        "run");
    // About 10 KiB of events a round: the FIFO (64 KiB) is full long before round 40.
    EXPECT_TRUE(wait_until([&] { return read_file(host.out).find(", round 40 ") != std::string::npos; }))
        << read_file(host.out).substr(0, 2000);
    const auto stopAsked = std::chrono::steady_clock::now();
    ::kill(host.pid, SIGTERM);
    EXPECT_EQ(wait_for(host), 0) << read_file(host.err);
    const auto stopTook = std::chrono::steady_clock::now() - stopAsked;
    std::printf("stopped %.2f s after SIGTERM with the events FIFO stalled\n",
                std::chrono::duration<double>(stopTook).count());
    EXPECT_LT(stopTook, 10s);

    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(reader);
    EXPECT_GT(text.size(), 32768u);
    events_of(text.substr(0, text.rfind('\n') + 1));
}

TEST(EventTrace, DropsAreCountedAndWrittenOnceTheReaderCatchesUpAndANewReaderIsFound) {
    TempDir dir;
    const std::string fifo = dir.file("events.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    site::Event history;
    history.kind = site::EventKind::History;
    history.bytes.assign(300, 0xA5);
    constexpr std::size_t kEvents = 2000;
    std::string text;
    auto read_more = [&] {
        char buffer[65536];
        for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
    };
    std::size_t written = 0;
    std::uint64_t reported = 0;
    auto tally = [&] {
        written = 0;
        reported = 0;
        for (const Json::Value& event : events_of(text.substr(0, text.rfind('\n') + 1))) {
            if (event["event"] == "history") ++written;
            if (event["event"] == "dropped") reported += event["count"].asUInt64();
        }
        return written + reported;
    };
    {
        site::EventLog log(fifo, 16);
        for (std::size_t i = 0; i < kEvents; ++i) log.on_event(history);
        EXPECT_GT(log.dropped(), 0u);
        // Every event is either written or counted in a drop line, once the reader keeps up.
        EXPECT_TRUE(wait_until([&] {
            read_more();
            return tally() >= kEvents;
        }));
        EXPECT_EQ(reported, log.dropped());
        EXPECT_EQ(written + reported, kEvents);
        EXPECT_EQ(log.lines(), written);

        // The reader leaves; events go on; a new reader gets them.
        ::close(reader);
        log.on_event(history);
        std::this_thread::sleep_for(300ms);
        reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        text.clear();
        log.on_event(history);
        EXPECT_TRUE(wait_until([&] {
            read_more();
            return text.find('\n') != std::string::npos;
        })) << "no line after the new reader came";
    }
    ::close(reader);
}

// A file that can take no more (a full disk; here the file size limit) ends in whole lines,
// the failure is told once, and the lines that could not be written are counted at the end.
TEST(EventTrace, AFileThatFillsUpEndsInWholeLinesAndWhatIsLeftIsCounted) {
    TempDir dir;
    const std::string path = dir.file("events.jsonl");
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto signalBefore = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    testing::internal::CaptureStderr();
    {
        site::TraceFile file(path, 1000, [](std::uint64_t count) { return "dropped " + std::to_string(count); });
        for (int i = 0; i < 100; ++i) file.append(std::string(30, static_cast<char>('a' + i % 26)));
        std::this_thread::sleep_for(300ms);
    }
    const std::string console = testing::internal::GetCapturedStderr();
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, signalBefore);

    EXPECT_EQ(read_file(path).size(), 32u * 31) << "32 whole lines of 30 characters fit in 1000 bytes";
    EXPECT_EQ(read_file(path).back(), '\n');
    EXPECT_EQ(count_of(console, "write failed: File too large"), 1u) << console;
    EXPECT_NE(console.find(path + ": 68 events not written at stop"), std::string::npos) << console;
}

TEST(EventTrace, ADeviceIsRefusedAndSighupOpensTheFileAgain) {
    TempDir dir;
    const std::string site = write_site(dir);
    const Program full = start(dir,
                               {"--plugin", KTR40E_PLUGIN_PATH, "--site", site, "--rounds", "2", "--events",
                                "/dev/full", "--db", dir.file("h.db")},
                               "full");
    EXPECT_EQ(wait_for(full), 2) << read_file(full.err);
    EXPECT_NE(read_file(full.err).find("--events /dev/full: not a regular file"), std::string::npos)
        << read_file(full.err);

    const std::string events = dir.file("events.jsonl");
    const Program host = start(
        dir, {"--plugin", KTR40E_PLUGIN_PATH, "--site", site, "--events", events, "--db", dir.file("h.db")}, "run");
    ASSERT_TRUE(wait_until([&] { return count_of(read_file(events), "\n") > 100; }));
    ASSERT_EQ(::rename(events.c_str(), dir.file("events.jsonl.1").c_str()), 0);  // as logrotate does
    ::kill(host.pid, SIGHUP);
    EXPECT_TRUE(wait_until([&] { return count_of(read_file(events), "\n") > 10; })) << "nothing in the new file";
    ::kill(host.pid, SIGTERM);
    EXPECT_EQ(wait_for(host), 0) << read_file(host.err);
    const std::size_t kept = events_of(read_file(dir.file("events.jsonl.1"))).size();
    const std::size_t fresh = events_of(read_file(events)).size();
    EXPECT_GT(kept, 100u);
    EXPECT_GT(fresh, 10u);
}

}  // namespace
}  // namespace e2e
