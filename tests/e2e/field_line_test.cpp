// The line as it is in the field: late answers, echoing two-wire lines, a multi-drop bus,
// serial servers over TCP and lines that never answer.
#include <atomic>
#include <sstream>

#include "line/frame.h"
#include "line/tcp_listener.h"
#include "line_fixture.h"

namespace e2e {
namespace {

using site::EventKind;

// Every image published by system `id` holds exactly the values quiet_system() gives it.
void expect_exact_rounds(const site::Recorder& recorder, unsigned id, std::size_t rounds) {
    const auto rc = published_fields(recorder, id);
    ASSERT_EQ(rc.size(), rounds) << "system " << id;
    for (const Json::Value& group : rc) {
        EXPECT_EQ(group["output_voltage"].asFloat(), 53.75f);
        ASSERT_EQ(group["modules"].size(), 4u);
        for (unsigned m = 0; m < 4; ++m)
            EXPECT_EQ(group["modules"][m]["output_current"].asFloat(), 16.5f + 0.25f * static_cast<float>(m));
    }
    for (unsigned i = 0; i < 2; ++i) {
        const auto ac = published_fields(recorder, ac_id(id, i));
        const auto dc = published_fields(recorder, dc_id(id, i));
        ASSERT_EQ(ac.size(), rounds);
        ASSERT_EQ(dc.size(), rounds);
        for (const Json::Value& unit : ac) {
            EXPECT_EQ(unit["ia"].asFloat(), 21.5f + static_cast<float>(i));
            EXPECT_EQ(unit["ic"].asFloat(), 22.125f + static_cast<float>(i));
            ASSERT_EQ(unit["channels"].size(), i + 1);
            EXPECT_EQ(unit["channels"][i]["a"].asFloat(), 381.5f + static_cast<float>(i));
        }
        for (const Json::Value& unit : dc) {
            EXPECT_EQ(unit["voltage"].asFloat(), 53.5f - 0.25f * static_cast<float>(i));
            EXPECT_EQ(unit["current"].asFloat(), 61.75f + static_cast<float>(i));
        }
    }
}

std::size_t protocol_error_lines(const site::Recorder& recorder) {
    std::size_t n = 0;
    for (const site::Event& log : recorder.of(EventKind::Log))
        n += log.format.find("ProcotolError") != std::string::npos;
    return n;
}

// Every fifth answer comes 250 ms after the reply timeout, at 9600 baud; the device answers
// the repeated request too. Without a settle time that answer would meet the next request.
TEST(LateAnswers, AreDroppedAfterTheReplyTimeoutAndNeverMeetAnotherRequest) {
    TempDir dir;
    sim::SimConfig config = quiet_system();
    config.baud = 9600;
    config.faults.lateEvery = 5;
    config.faults.delay = std::chrono::milliseconds(300 + 250);
    SimulatedSystem line(config);
    Json::Value system = system_json(1, line.port);
    system["reply_timeout_ms"] = 300;
    HostRun run(site_of({system}), options_for(dir, 3));
    run.run();

    expect_exact_rounds(*run.recorder, 1, 3);
    EXPECT_EQ(protocol_error_lines(*run.recorder), 0u);
    const site::LineCounts counts = run.host->runners().front()->line_counts();
    const sim::SimStats stats = line.simulator->stats();
    ASSERT_GE(stats.slowed, 5u);
    EXPECT_EQ(counts.replyTimeouts, stats.slowed);
    EXPECT_EQ(counts.lateAnswers, stats.slowed);
    EXPECT_EQ(counts.refused_total(), 0u) << counts.text(true);
    // Each late answer dropped whole, and every answer handed over once.
    for (const site::Event& discard : run.recorder->of(EventKind::Discard)) {
        EXPECT_EQ(discard.text, "late answer");
        EXPECT_GE(discard.count, 18u);
    }
    EXPECT_EQ(run.recorder->of(EventKind::Discard).size(), stats.slowed);
    EXPECT_EQ(run.recorder->count(EventKind::Answer), stats.answers - stats.slowed);
}

struct EchoCase {
    const char* name;
    bool lineEchoes;
    Json::Value echoKey;  // null: the default ("auto")
    std::uint64_t skipped;
};

class Echo : public ::testing::TestWithParam<EchoCase> {};

// Two rounds take the 21 requests of a clean line, whatever the line echoes.
TEST_P(Echo, TwoRoundsTakeTheRequestsOfACleanLine) {
    TempDir dir;
    sim::SimConfig config = quiet_system();
    config.faults.echo = GetParam().lineEchoes;
    SimulatedSystem line(config);
    Json::Value system = system_json(1, line.port);
    if (!GetParam().echoKey.isNull()) system["echo"] = GetParam().echoKey;
    HostRun run(site_of({system}), options_for(dir, 2));
    run.run();

    EXPECT_EQ(run.recorder->count(EventKind::Request), 21u);
    const site::LineCounts counts = run.host->runners().front()->line_counts();
    EXPECT_EQ(counts.echoesSkipped, GetParam().skipped);
    EXPECT_EQ(counts.refused_total(), 0u) << counts.text(true);
    EXPECT_EQ(counts.replyTimeouts, 0u);
    expect_exact_rounds(*run.recorder, 1, 2);
}

INSTANTIATE_TEST_SUITE_P(Lines, Echo,
                         ::testing::Values(EchoCase{"EchoingLineAuto", true, Json::Value(), 21},
                                           EchoCase{"EchoingLineRequired", true, Json::Value(true), 21},
                                           EchoCase{"QuietLineAuto", false, Json::Value(), 0},
                                           EchoCase{"QuietLineOff", false, Json::Value(false), 0}),
                         [](const ::testing::TestParamInfo<EchoCase>& param) { return param.param.name; });

TEST(SharedLine, TwoSystemsAtAddressesOneAndTwoTakeTurnsOnOneLine) {
    TempDir dir;
    sim::SimConfig atTwo = quiet_system();
    atTwo.address = 2;
    sim::Simulator first(quiet_system());
    sim::Simulator second(atTwo);
    Bus bus({{1, &first}, {2, &second}});
    Json::Value one = system_json(1, bus.path());
    Json::Value two = system_json(2, bus.path());
    two["address"] = 2;
    site::SiteOptions options = options_for(dir, 3);
    options.loops = 2;  // the shared line keeps both on one loop all the same
    HostRun run(site_of({one, two}), options);
    run.run();

    expect_exact_rounds(*run.recorder, 1, 3);
    expect_exact_rounds(*run.recorder, 2, 3);
    for (const auto& runner : run.host->runners()) {
        const site::LineCounts counts = runner->line_counts();
        EXPECT_EQ(counts.replyTimeouts, 0u) << runner->data_id();
        EXPECT_EQ(counts.refused_total(), 0u) << runner->data_id() << ": " << counts.text(true);
    }
}

TEST(SerialServers, RoundsThroughSocatCarryExactValues) {
    TempDir dir;
    SimulatedSystem line;
    const std::uint16_t port = free_loopback_port();
    SerialServer server(line.port, port);
    HostRun run(site_of({system_json(1, "tcp://127.0.0.1:" + std::to_string(port))}), options_for(dir, 3));
    run.run();
    expect_exact_rounds(*run.recorder, 1, 3);
    EXPECT_EQ(run.host->runners().front()->line_counts().refused_total(), 0u);
    EXPECT_NE(run.console_lines().find("port tcp://127.0.0.1:" + std::to_string(port) + ", address 1"),
              std::string::npos)
        << run.console_lines();
}

// The server goes away after the second round and is back a second later: the host tells
// both, reconnects and the rounds go on.
TEST(SerialServers, HostReconnectsAfterTheServerRestarts) {
    TempDir dir;
    sim::Simulator simulator(quiet_system());
    const std::uint16_t port = simulator.start_tcp(0);
    HostRun run(site_of({system_json(1, "tcp://127.0.0.1:" + std::to_string(port))}), options_for(dir, 5));
    std::thread restart;
    run.hook->onRound = [&](unsigned, int round) {
        if (round != 2) return;
        simulator.stop();
        restart = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            simulator.start_tcp(port);
        });
    };
    run.run();
    restart.join();

    expect_exact_rounds(*run.recorder, 1, 5);
    const std::string console = run.console_lines();
    EXPECT_NE(console.find("line failed: tcp://127.0.0.1:" + std::to_string(port)), std::string::npos) << console;
    EXPECT_NE(console.find("line working again"), std::string::npos) << console;
}

// A serial server that takes every connection and closes it at once, for 6 s: it is tried
// less and less often (at once, at once, then 1, 2 and 4 s later), and the console tells the
// failure and the recovery once each, then how often they came again.
TEST(SerialServers, OneThatClosesAtOnceIsTriedLessOftenAndToldOnceWithACount) {
    TempDir dir;
    line::TcpListener server(0);
    std::atomic<bool> done{false};
    std::atomic<int> accepted{0};
    std::thread closer([&] {
        while (!done)
            if (server.accept(std::chrono::milliseconds(50)).is_open()) ++accepted;
    });
    Json::Value system = system_json(1, "tcp://127.0.0.1:" + std::to_string(server.port()));
    system["give_up_s"] = 6;
    HostRun run(site_of({system}), options_for(dir, 1));
    run.run();
    done = true;
    closer.join();

    EXPECT_GE(accepted, 3);
    EXPECT_LE(accepted, 5) << "a connection closed at once must not end the back-off";
    std::size_t lines = 0;
    std::size_t failed = 0;
    std::size_t counted = 0;
    std::istringstream console(run.console_lines());
    for (std::string line; std::getline(console, line); ++lines) {
        if (line.find("line failed") == std::string::npos) continue;
        ++(line.find(" more in 10 min)") == std::string::npos ? failed : counted);
    }
    EXPECT_EQ(failed, 1u) << run.console_lines();
    EXPECT_EQ(counted, 1u) << run.console_lines();
    EXPECT_LE(lines, 6u) << run.console_lines();
}

// A port that is not there: the reason is told at once, and a round limit gives up in time.
TEST(DeadLine, TellsWhyAndGivesUpWithTheCounts) {
    TempDir dir;
    Json::Value system = system_json(1, dir.file("ttyUSB9"));
    system["give_up_s"] = 1;
    HostRun run(site_of({system}), options_for(dir, 1));
    run.run();

    const site::SystemRunner& runner = *run.host->runners().front();
    EXPECT_EQ(runner.rounds(), 0u);
    EXPECT_EQ(runner.gave_up().rfind("no complete round in 1 s: ", 0), 0u) << runner.gave_up();
    EXPECT_NE(runner.gave_up().find("reply timeouts"), std::string::npos) << runner.gave_up();
    const std::string console = run.console_lines();
    EXPECT_NE(console.find("line failed: " + dir.file("ttyUSB9") + ": open: No such file or directory"),
              std::string::npos)
        << console;
    EXPECT_EQ(console.find("line failed"), console.rfind("line failed")) << "told once: " << console;
}

}  // namespace
}  // namespace e2e
