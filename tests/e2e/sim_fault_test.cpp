// The simulator's own faults: what goes on the line for a cut-short answer, an odd count and
// a line that hangs up, byte by byte.
#include <sys/stat.h>

#include <json/reader.h>

#include "line/line_support.h"
#include "line/serial.h"
#include "site_fixture.h"

namespace e2e {
namespace {

using Bytes = std::vector<std::uint8_t>;

line::DecodeResult request(std::uint8_t cid1, std::uint8_t cid2) {
    line::DecodeResult r;
    r.headerRead = true;
    r.frame.header = line::FrameHeader{0x20, 1, cid1, cid2};
    return r;
}

// The one frame of the reply, which must pass every check of the decoder.
Bytes info_of(sim::Simulator& simulator, std::uint8_t cid1, std::uint8_t cid2) {
    const std::optional<sim::Reply> reply = simulator.respond(request(cid1, cid2));
    if (!reply) {
        ADD_FAILURE() << "no reply";
        return {};
    }
    const auto frames = line::decode_all(reply->line);
    EXPECT_EQ(frames.size(), 1u) << reply->line;
    if (frames.size() != 1) return {};
    EXPECT_TRUE(frames[0].ok()) << line::to_string(frames[0].error) << " in " << reply->line;
    return frames[0].frame.info;
}

sim::SimConfig with_faults(const sim::Faults& faults, std::uint32_t seed = 3) {
    sim::SimConfig config = quiet_system();
    config.faults = faults;
    config.seed = seed;
    return config;
}

TEST(SimulatorFaults, TruncatedAnswerIsAWellFormedFrameWithTheFrontOfTheInfo) {
    sim::Faults faults;
    faults.truncate = 1;
    const std::pair<std::uint8_t, std::uint8_t> commands[] = {{0x40, 0x41}, {0x41, 0x44}, {0x42, 0x46}};
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        sim::Simulator clean(quiet_system());  // DATAFLAG follows what each system has told
        sim::Simulator cut(with_faults(faults, seed));
        for (const auto& [cid1, cid2] : commands) {
            const Bytes whole = info_of(clean, cid1, cid2);
            const Bytes front = info_of(cut, cid1, cid2);
            ASSERT_LT(front.size(), whole.size());
            EXPECT_TRUE(std::equal(front.begin(), front.end(), whole.begin())) << "seed " << seed;
        }
        EXPECT_EQ(cut.stats().truncated, 3u);
    }
}

TEST(SimulatorFaults, OvercountChangesOneAnswerAndLeavesTheSystemAsItWas) {
    sim::Faults faults;
    faults.overcount = 1;
    faults.overcountKind = "air_switches";
    sim::Simulator simulator(with_faults(faults));
    // DATAFLAG, 2 units; unit 1: 9 air-switch states, P 0; unit 2: 3 states, P 0.
    Bytes expected = {0x00, 0x02, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x03, 0, 0, 0, 0x00};
    Bytes info = info_of(simulator, 0x40, 0x43);
    info[0] = 0;
    EXPECT_EQ(info, expected);
    // Another command is not touched, and the system keeps its three air switches.
    const Bytes analog = info_of(simulator, 0x40, 0x41);
    sim::Simulator clean(quiet_system());
    EXPECT_EQ(analog, info_of(clean, 0x40, 0x41));
    EXPECT_EQ(simulator.state().ac[0].airSwitches.size(), 3u);
    EXPECT_EQ(simulator.stats().overcounted, 1u);

    simulator.set_faults(sim::Faults());
    info = info_of(simulator, 0x40, 0x43);
    EXPECT_EQ(info.size(), 2u + 2u * 5u);
    EXPECT_EQ(info[2], 0x03);
}

// Each overcount the simulator knows changes the answer to its own command.
TEST(SimulatorFaults, EveryOvercountChangesItsAnswer) {
    sim::Simulator clean(quiet_system());
    for (const sim::Overcount& overcount : sim::overcounts()) {
        sim::Faults faults;
        faults.overcount = 1;
        faults.overcountKind = overcount.name;
        sim::Simulator odd(with_faults(faults));
        EXPECT_NE(info_of(odd, overcount.cid1, overcount.cid2), info_of(clean, overcount.cid1, overcount.cid2))
            << overcount.name;
        EXPECT_EQ(odd.stats().overcounted, 1u) << overcount.name;
    }
}

sim::Faults faults_of(const std::string& text) {
    Json::Value root;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors)) << errors;
    return sim::faults_from_json(root);
}

TEST(SimulatorFaults, ConfigurationNamesTheNewFaults) {
    const sim::Faults faults = faults_of(
        R"({"truncate": 0.1, "overcount": 0.2, "overcount_kind": "dc_fuses", "hang_up": 0.05, "away_ms": 700})");
    EXPECT_EQ(faults.truncate, 0.1);
    EXPECT_EQ(faults.overcount, 0.2);
    EXPECT_EQ(faults.overcountKind, "dc_fuses");
    EXPECT_EQ(faults.hangUp, 0.05);
    EXPECT_EQ(faults.away, std::chrono::milliseconds(700));
    EXPECT_THROW(faults_of(R"({"overcount_kind": "dc_fuse"})"), std::runtime_error);
    EXPECT_THROW(faults_of(R"({"truncate": 2})"), std::runtime_error);
}

// A request through the link, and the answer if one comes within `wait`.
std::optional<line::Answer> ask(const std::string& link, std::chrono::milliseconds wait) {
    line::SerialTransport transport(link, 9600);
    transport.send(line::Request{0x20, 1, 0x42, 0x46, {}});
    if (!transport.last_send_ok()) return std::nullopt;
    for (const line::Received& received : transport.receive(wait))
        if (received.ok()) return received.answer;
    return std::nullopt;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Waits up to a second for the link to be there (or gone).
bool link_becomes(const std::string& link, bool there) {
    for (int i = 0; i < 100 && exists(link) != there; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return exists(link) == there;
}

TEST(SimulatorFaults, LineBehindALinkHangsUpAndComesBackOnANewTerminal) {
    TempDir dir;
    const std::string link = dir.file("line");
    sim::Simulator simulator(quiet_system());
    ASSERT_EQ(simulator.start_pty(link), link);
    ASSERT_TRUE(ask(link, std::chrono::milliseconds(500)));

    simulator.hang_up();
    EXPECT_FALSE(exists(link));
    simulator.come_back();
    ASSERT_TRUE(ask(link, std::chrono::milliseconds(500)));
    EXPECT_THROW(simulator.come_back(), std::logic_error);

    // The fault: no answer, the link gone, and back after the time away.
    sim::Faults faults;
    faults.hangUp = 1;
    faults.away = std::chrono::milliseconds(400);
    simulator.set_faults(faults);
    EXPECT_FALSE(ask(link, std::chrono::milliseconds(100)));
    EXPECT_TRUE(link_becomes(link, false));
    simulator.set_faults(sim::Faults());
    EXPECT_TRUE(link_becomes(link, true));
    EXPECT_TRUE(ask(link, std::chrono::milliseconds(500)));
    EXPECT_EQ(simulator.stats().hangUps, 1u);

    simulator.stop();
    EXPECT_FALSE(exists(link));
}

TEST(SimulatorFaults, OnlyALineBehindALinkHangsUp) {
    sim::Faults faults;
    faults.hangUp = 1;
    sim::Simulator simulator(with_faults(faults));
    EXPECT_TRUE(simulator.respond(request(0x42, 0x46)).has_value());
    EXPECT_EQ(simulator.stats().hangUps, 0u);
    EXPECT_THROW(simulator.hang_up(), std::logic_error);
}

}  // namespace
}  // namespace e2e
