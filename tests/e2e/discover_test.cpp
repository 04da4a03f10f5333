// Commissioning as a field engineer does it: `sitehost discover` on a line, the site file it
// prints run as it is, and `--check` once the site has changed.
#include <poll.h>

#include <optional>
#include <regex>

#include "line_fixture.h"
#include "program_support.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

struct Discovered {
    int status = -1;
    std::string out;
    std::string err;
    std::chrono::steady_clock::duration took{};
};

// `sitehost discover ARGS`, run to its end.
Discovered discover(const TempDir& dir, std::vector<std::string> args, const std::string& tag) {
    args.insert(args.begin(), "discover");
    const auto started = std::chrono::steady_clock::now();
    const Program program = start(dir, args, tag);
    Discovered run;
    run.status = wait_for(program, 60s);
    run.took = std::chrono::steady_clock::now() - started;
    run.out = read_file(program.out);
    run.err = read_file(program.err);
    return run;
}

sim::SimConfig at_address(sim::SimConfig config, std::uint8_t address) {
    config.address = address;
    return config;
}

bool holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct LineCase {
    const char* name;
    bool tcp;  // through socat as a serial device server
};

class FoundOnALine : public ::testing::TestWithParam<LineCase> {};

// A system at address 7 among addresses that answer with an address error: found with its
// counts, and the site file as printed polls without a refused answer or a reply timeout.
TEST_P(FoundOnALine, WithItsCountsAndItsSiteFileRunsAsItIs) {
    TempDir dir;
    SimulatedSystem system(at_address(quiet_system(2, 1, 5), 7));
    std::string port = system.port;
    std::optional<SerialServer> server;
    if (GetParam().tcp) {
        const std::uint16_t tcp = free_loopback_port();
        server.emplace(system.port, tcp);
        port = "tcp://127.0.0.1:" + std::to_string(tcp);
    }
    const Discovered found = discover(dir, {"--port", port, "--address", "5-8"}, "discover");
    ASSERT_EQ(found.status, 0) << found.err;
    const Json::Value site = parse(found.out);
    ASSERT_EQ(site["systems"].size(), 1u) << found.out;
    const Json::Value& seven = site["systems"][0];
    EXPECT_EQ(seven["port"], port);
    EXPECT_EQ(seven["address"], 7);
    EXPECT_EQ(seven["data_id"], 7000);
    ASSERT_EQ(seven["acSetting"].size(), 2u);
    EXPECT_EQ(seven["acSetting"][1]["channels"], 2);
    EXPECT_EQ(seven["dcSetting"].size(), 1u);
    EXPECT_EQ(seven["rcSetting"]["modules"], 5);
    EXPECT_TRUE(holds(found.err, "address error (RTN 0x90) from a device at another address: 5\u20136, 8"))
        << found.err;

    std::ofstream(dir.file("site.json")) << found.out;
    const Program host = start(
        dir,
        {"--plugin", KTR40E_PLUGIN_PATH, "--site", dir.file("site.json"), "--db", dir.file("h.db"), "--rounds", "1"},
        "host");
    EXPECT_EQ(wait_for(host, 30s), 0) << read_file(host.err);
    const std::string summary = read_file(host.out);
    EXPECT_TRUE(holds(summary, "power system 7000: 1 rounds, 0 reply timeouts, 0 answers refused,")) << summary;
    EXPECT_TRUE(holds(summary, "0 kinds of plug-in protocol error")) << summary;
}

INSTANTIATE_TEST_SUITE_P(Discover, FoundOnALine, ::testing::Values(LineCase{"Pty", false}, LineCase{"Tcp", true}),
                         [](const ::testing::TestParamInfo<LineCase>& param) { return param.param.name; });

// Two systems on one bus; then the one at address 3 restarts with another module count.
TEST(Discover, FindsBothSystemsOfABusAndTheCheckNamesAChangedModuleCount) {
    TempDir dir;
    sim::Simulator first(at_address(quiet_system(1, 1, 3), 1));
    sim::Simulator third(at_address(quiet_system(2, 2, 4), 3));
    Bus bus({{1, &first}, {3, &third}});
    const Discovered found =
        discover(dir, {"--port", bus.path(), "--address", "1-3", "--answer-time", "50"}, "discover");
    ASSERT_EQ(found.status, 0) << found.err;
    const Json::Value site = parse(found.out);
    ASSERT_EQ(site["systems"].size(), 2u) << found.out;
    EXPECT_EQ(site["systems"][0]["data_id"], 1000);
    EXPECT_EQ(site["systems"][0]["rcSetting"]["modules"], 3);
    EXPECT_EQ(site["systems"][1]["data_id"], 3000);
    EXPECT_EQ(site["systems"][1]["dcSetting"].size(), 2u);
    EXPECT_TRUE(holds(found.err, "no answer: 2")) << found.err;

    const std::string file = dir.file("site.json");
    std::ofstream(file) << found.out;
    const Discovered same = discover(dir, {"--check", "--site", file}, "same");
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_TRUE(holds(same.err, "power system 3000 (address 3 on " + bus.path() + "): agrees with the site file"))
        << same.err;

    sim::Simulator restarted(at_address(quiet_system(2, 2, 5), 3));
    bus.replace(3, &restarted);
    const Discovered changed = discover(dir, {"--check", "--site", file}, "changed");
    EXPECT_EQ(changed.status, 1) << changed.err;
    EXPECT_TRUE(holds(changed.err, "power system 3000 (address 3 on " + bus.path() +
                                       ") differs from the site file:\n  rectifier modules: 5, the site file has 4"))
        << changed.err;
    EXPECT_TRUE(holds(changed.err, "power system 1000 (address 1 on " + bus.path() + "): agrees")) << changed.err;
}

// Seconds announced: "at most 3 s" or "at most 2 min 35 s".
std::chrono::seconds announced(const std::string& err) {
    std::smatch match;
    if (!std::regex_search(err, match, std::regex("at most (?:(\\d+) min )?(\\d+) s"))) return std::chrono::seconds(0);
    return std::chrono::seconds((match[1].matched ? 60 * std::stoi(match[1]) : 0) + std::stoi(match[2]));
}

// The far end of a line: reads whatever comes and answers nothing.
class DeadEnd {
public:
    DeadEnd() : pty_(line::open_pty_pair()), thread_([this] { run(); }) {}
    ~DeadEnd() { stop(); }
    const std::string& path() const { return pty_.slavePath; }
    // What was heard, once the reader has stopped.
    std::vector<line::Frame> stop() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
        return heard_;
    }

private:
    void run() {
        line::FrameDecoder decoder;
        std::uint8_t buffer[512];
        while (!stop_) {
            pollfd p{pty_.master.get(), POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            const ssize_t n = ::read(pty_.master.get(), buffer, sizeof buffer);
            if (n <= 0) continue;
            decoder.feed_all(buffer, static_cast<std::size_t>(n), [this](const line::DecodeResult& result) {
                if (result.ok()) heard_.push_back(result.frame);
            });
        }
    }

    line::PtyPair pty_;
    std::atomic<bool> stop_{false};
    std::vector<line::Frame> heard_;
    std::thread thread_;
};

// Every address, both protocol versions, nothing but model queries; done within the time told.
TEST(Discover, ALineWhereNothingAnswersEndsWithinTheAnnouncedTime) {
    TempDir dir;
    DeadEnd line;
    const Discovered scan = discover(dir, {"--port", line.path(), "--answer-time", "4"}, "silent");
    const std::vector<line::Frame> heard = line.stop();

    EXPECT_EQ(scan.status, 1) << scan.err;
    EXPECT_EQ(scan.out, "");
    const std::chrono::seconds limit = announced(scan.err);
    EXPECT_GT(limit.count(), 0) << scan.err;
    EXPECT_LT(scan.took, limit + 500ms) << scan.err;
    EXPECT_TRUE(holds(scan.err, "no power system found\n  no answer: 1\u2013254")) << scan.err;
    ASSERT_EQ(heard.size(), 254u * 2);
    for (std::size_t i = 0; i < heard.size(); ++i) {
        EXPECT_EQ(heard[i].header.adr, i / 2 + 1);
        EXPECT_EQ(heard[i].header.ver, i % 2 == 0 ? 0x20 : 0x21);
        EXPECT_EQ(heard[i].header.cid1, 0x40);
        EXPECT_EQ(heard[i].header.code, 0x51);
    }
}

TEST(Discover, APortHeldByAnotherProgramIsNeverWrittenTo) {
    TempDir dir;
    DeadEnd line;
    line::SerialPort holder(line.path(), 9600);
    ASSERT_TRUE(holder.ensure_open()) << holder.last_error();
    const Discovered refused = discover(dir, {"--port", line.path()}, "held");
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(holds(refused.err, "error port " + line.path() + ": in use by another program")) << refused.err;
    EXPECT_TRUE(line.stop().empty());
}

// Ctrl-C while the silent rest of the line is asked: what was found is still printed.
TEST(Discover, InterruptedItStillPrintsWhatItFound) {
    TempDir dir;
    sim::Simulator first(quiet_system(1, 1, 2));
    Bus bus({{1, &first}});
    const Program scan = start(dir, {"discover", "--port", bus.path(), "--answer-time", "20"}, "interrupted");
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!holds(read_file(scan.err), "address 1: \"KTR-40\"") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ::kill(scan.pid, SIGINT);
    EXPECT_EQ(wait_for(scan, 10s), 0);
    const std::string err = read_file(scan.err);
    EXPECT_TRUE(holds(err, "stopped before the last address")) << err;
    EXPECT_TRUE(holds(err, "not asked: ")) << err;
    const Json::Value site = parse(read_file(scan.out));
    ASSERT_EQ(site["systems"].size(), 1u);
    EXPECT_EQ(site["systems"][0]["address"], 1);
}

}  // namespace
}  // namespace e2e
