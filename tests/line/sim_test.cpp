#include <gtest/gtest.h>

#include <json/reader.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>

#include "line/line_support.h"
#include "line/serial.h"
#include "sim/simulator.h"

namespace {

sim::Faults dropping(double share) {
    sim::Faults faults;
    faults.drop = share;
    return faults;
}

using namespace std::chrono_literals;
using line::bytes_of;
using line::put_float;
using Bytes = std::vector<std::uint8_t>;

sim::SimConfig config_of(const std::string& text) {
    Json::Value root;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors)) << errors;
    return sim::config_from_json(root);
}

line::DecodeResult request(std::uint8_t cid1, std::uint8_t cid2, std::uint8_t ver = 0x20, std::uint8_t adr = 1) {
    line::DecodeResult r;
    r.headerRead = true;
    r.frame.header = line::FrameHeader{ver, adr, cid1, cid2};
    return r;
}

// Decodes the one frame of a reply.
line::DecodeResult decoded(const std::optional<sim::Reply>& reply) {
    EXPECT_TRUE(reply.has_value());
    if (!reply) return {};
    const auto results = line::decode_all(reply->line);
    EXPECT_EQ(results.size(), 1u) << reply->line;
    return results.empty() ? line::DecodeResult{} : results.back();
}

Bytes info_of(sim::Simulator& s, std::uint8_t cid1, std::uint8_t cid2) {
    const line::DecodeResult r = decoded(s.respond(request(cid1, cid2)));
    EXPECT_TRUE(r.ok()) << line::to_string(r.error);
    EXPECT_EQ(r.frame.header.code, 0x00);
    return r.frame.info;
}

struct Floats {
    Bytes bytes;
    Floats& u8(std::initializer_list<int> values) {
        for (const int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    Floats& f(std::initializer_list<float> values) {
        for (const float v : values) put_float(bytes, v);
        return *this;
    }
    Floats& blank() { return u8({0x20, 0x20, 0x20, 0x20}); }
};

const char* const kSmallSystem = R"({
  "model": "KTR-40", "drift": 0, "dataflag": "always", "baud": 0,
  "ac": [{"ia": 1.5, "ib": null, "ic": 3.0, "ia_alert": 1, "ic_alert": 2, "air_switches": [1, 0],
          "channels": [{"a": 220.0, "b": 221.0, "c": null, "f": 50.0, "a_alert": 3, "f_alert": 1,
                        "user_alarms": [1, 2, 3, 4, 5, 6]}]}],
  "dc": [{"voltage": 53.5, "current": 40.0, "batteries": [5.0], "branches": [10.0, null], "user": [1.0],
          "voltage_state": 2, "fuses": [0, 3], "user_alarms": [0, 226]}],
  "rectifiers": {"output_voltage": 54.0,
                 "modules": [{"current": 10.0, "user": [0.5], "status": [1, 2, 3], "user_status": [4, 5],
                              "fault": 1, "user_alarms": [226]}, {}]},
  "parameters": {"ac": [1, 2, 3, 4, 5], "dc": [6, 7], "dc_user": [8, 9, 10]}
})";

TEST(Simulator, AnswersInTheDriversInfoLayouts) {
    sim::Simulator s(config_of(kSmallSystem));
    const std::map<std::pair<int, int>, Bytes> expected = {
        {{0x40, 0x51},
         Floats()
             .u8({'K', 'T', 'R', '-', '4', '0'})
             .u8({32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32})
             .bytes},
        {{0x40, 0x41}, Floats().u8({0x11, 1, 1}).f({220, 221}).blank().f({50}).u8({0}).f({1.5f}).blank().f({3}).bytes},
        {{0x40, 0x43}, bytes_of({0x11, 1, 2, 1, 0, 0})},
        {{0x40, 0x44}, bytes_of({0x11, 1, 1, 3, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 1, 0, 2})},
        {{0x41, 0x41}, Floats().u8({0x11}).f({54}).u8({2}).f({10}).u8({1}).f({0.5f, 15}).u8({1}).f({0}).bytes},
        {{0x41, 0x43}, bytes_of({0x11, 2, 1, 2, 3, 2, 4, 5, 0, 0, 0, 2, 0, 0})},
        {{0x41, 0x44}, bytes_of({0x11, 2, 1, 1, 0xE2, 0, 1, 0})},
        {{0x42, 0x41},
         Floats().u8({0x11, 1}).f({53.5f, 40}).u8({1}).f({5}).u8({2}).f({10}).blank().u8({1}).f({1}).bytes},
        {{0x42, 0x44}, bytes_of({0x11, 1, 2, 2, 0, 3, 2, 0, 0xE2})},
        {{0x40, 0x46}, Floats().f({1, 2, 3, 4, 5}).u8({0}).bytes},
        {{0x42, 0x46}, Floats().f({6, 7}).u8({3}).f({8, 9, 10}).bytes},
    };
    for (const auto& [command, info] : expected) {
        EXPECT_EQ(info_of(s, static_cast<std::uint8_t>(command.first), static_cast<std::uint8_t>(command.second)), info)
            << std::hex << command.first << "/" << command.second;
    }
    // A value not provided travels as eight blanks.
    EXPECT_NE(s.respond(request(0x40, 0x41))->line.find("        "), std::string::npos);
}

TEST(Simulator, DataflagTellsWhatChangedSinceItWasRead) {
    sim::Simulator s(config_of(R"({"drift": 0, "baud": 0})"));
    const auto flag = [&](int cid1) { return info_of(s, static_cast<std::uint8_t>(cid1), 0x41).at(0); };

    EXPECT_EQ(flag(0x40), 0x11);
    info_of(s, 0x40, 0x43);
    EXPECT_EQ(flag(0x40), 0x01);
    info_of(s, 0x40, 0x44);
    EXPECT_EQ(flag(0x40), 0x00);
    s.update([](sim::SiteState& st) { st.ac[0].channels[0].fAlert = 2; });
    EXPECT_EQ(flag(0x40), 0x01);
    s.update([](sim::SiteState& st) { st.ac[0].airSwitches[1] = 1; });
    EXPECT_EQ(flag(0x40), 0x11);

    EXPECT_EQ(flag(0x41), 0x11);
    info_of(s, 0x41, 0x44);
    EXPECT_EQ(flag(0x41), 0x10);
    EXPECT_EQ(flag(0x42), 0x01);  // no status request in the DC group
    info_of(s, 0x42, 0x44);
    EXPECT_EQ(flag(0x42), 0x00);
    s.update([](sim::SiteState& st) { st.dc[0].userAlarms[10] = 0xE2; });
    EXPECT_EQ(flag(0x42), 0x01);

    sim::Simulator never(config_of(R"({"dataflag": "never"})"));
    EXPECT_EQ(info_of(never, 0x41, 0x41).at(0), 0x00);
    sim::Simulator fixed(config_of(R"({"dataflag": 16})"));
    EXPECT_EQ(info_of(fixed, 0x42, 0x41).at(0), 0x10);
}

TEST(Simulator, AnswersAddressAndCommandErrors) {
    sim::Simulator s(config_of(R"({"address": 3, "baud": 0})"));
    auto r = decoded(s.respond(request(0x40, 0x41, 0x21, 3)));
    EXPECT_EQ(r.frame.header.ver, 0x21);
    EXPECT_EQ(r.frame.header.adr, 3);

    r = decoded(s.respond(request(0x40, 0x41, 0x20, 1)));
    EXPECT_EQ(r.frame.header.code, 0x90);
    EXPECT_EQ(r.frame.header.adr, 1);
    EXPECT_TRUE(r.frame.info.empty());

    r = decoded(s.respond(request(0x40, 0x47, 0x20, 3)));
    EXPECT_EQ(r.frame.header.code, 0x04);

    auto refused = request(0x40, 0x41, 0x20, 3);
    refused.error = line::FrameError::BadChecksum;
    EXPECT_EQ(decoded(s.respond(refused)).frame.header.code, 0x02);
    refused.error = line::FrameError::BadLengthChecksum;
    EXPECT_EQ(decoded(s.respond(refused)).frame.header.code, 0x03);
    refused.error = line::FrameError::BadCharacter;
    EXPECT_FALSE(s.respond(refused).has_value());
    refused.error = line::FrameError::BadChecksum;
    refused.frame.header.adr = 4;
    EXPECT_FALSE(s.respond(refused).has_value());

    const sim::SimStats st = s.stats();
    EXPECT_EQ(st.requests, 7u);
    EXPECT_EQ(st.refused, 4u);
    EXPECT_EQ(st.otherAddress, 1u);
    EXPECT_EQ(st.unknown, 1u);
}

TEST(Simulator, InjectsTheConfiguredFaults) {
    sim::Simulator s(config_of(R"({"drift": 0, "baud": 0, "seed": 5})"));
    const Bytes normal41 = info_of(s, 0x41, 0x41);

    s.set_faults(dropping(1.0));
    EXPECT_FALSE(s.respond(request(0x40, 0x41)).has_value());

    sim::Faults f;
    f.corrupt = 1;
    s.set_faults(f);
    auto r = line::decode_all(s.respond(request(0x40, 0x41))->line);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].error, line::FrameError::BadChecksum);

    f = sim::Faults();
    f.wrongCid1 = 1;
    f.wrongCount = 1;
    s.set_faults(f);
    auto a = decoded(s.respond(request(0x42, 0x41)));
    EXPECT_EQ(a.frame.header.cid1, 0x40);
    EXPECT_EQ(a.frame.info.at(1), 2);  // one DC unit configured
    a = decoded(s.respond(request(0x41, 0x41)));
    EXPECT_EQ(a.frame.header.cid1, 0x42);
    EXPECT_EQ(a.frame.info, normal41);  // no unit count in this answer

    f = sim::Faults();
    f.noise = 32;
    f.delay = 250ms;
    f.slow = 1;
    s.set_faults(f);
    const auto reply = s.respond(request(0x40, 0x51));
    EXPECT_EQ(reply->delay, 250ms);
    EXPECT_EQ(reply->line.find_first_of("~\r"), 32u);
    EXPECT_TRUE(decoded(reply).ok());

    // One command refused: its answers are well-formed with an empty INFO, the others are untouched.
    f = sim::Faults();
    f.refuse = 0x4143;
    s.set_faults(f);
    const line::DecodeResult refusedAnswer = decoded(s.respond(request(0x41, 0x43)));
    EXPECT_TRUE(refusedAnswer.ok());
    EXPECT_EQ(refusedAnswer.frame.header.cid1, 0x41);
    EXPECT_TRUE(refusedAnswer.frame.info.empty());
    EXPECT_FALSE(decoded(s.respond(request(0x41, 0x41))).frame.info.empty());
    EXPECT_EQ(s.stats().refusable, 1u);

    s.set_faults(dropping(0.5));
    int dropped = 0;
    for (int i = 0; i < 1000; ++i) dropped += s.respond(request(0x40, 0x46)) ? 0 : 1;
    EXPECT_GT(dropped, 400);
    EXPECT_LT(dropped, 600);
    EXPECT_EQ(s.stats().dropped, static_cast<std::uint64_t>(dropped) + 1);
}

float float_at(const Bytes& info, std::size_t at) {
    float v = 0;
    std::memcpy(&v, info.data() + at, sizeof v);
    return v;
}

TEST(Simulator, AnalogValuesDriftAndParametersDoNot) {
    sim::SimConfig config;
    config.drift = 0.05;
    sim::DeviceModel model(config.state, config.dataFlag, 0, config.drift, config.driftPeriod);
    const auto info = [&](int cid1, int cid2, double t) {
        const auto text = *model.answer(static_cast<std::uint8_t>(cid1), static_cast<std::uint8_t>(cid2), t);
        std::string whole;
        line::encode_frame_text(line::FrameHeader{}, text, whole);
        return line::decode_all(whole).at(0).frame.info;
    };
    const float early = float_at(info(0x42, 0x41, 0), 2);
    const float later = float_at(info(0x42, 0x41, 30), 2);
    EXPECT_NE(early, later);
    for (const float v : {early, later}) {
        EXPECT_NEAR(v, 53.5f, 53.5f * 0.05f + 0.001f);
    }
    EXPECT_EQ(info(0x40, 0x46, 0), info(0x40, 0x46, 30));
}

TEST(SimulatorConfig, ReadsCountsAndNamesWrongMembers) {
    const sim::SimConfig c = config_of(R"({"ac": [{"channels": 3}], "dc": 2, "rectifiers": {"modules": 5},
                                           "faults": {"delay_ms": 100, "drop": 0.1, "refuse": "42/41"}})");
    EXPECT_EQ(c.state.ac.at(0).channels.size(), 3u);
    EXPECT_EQ(c.state.dc.size(), 2u);
    EXPECT_EQ(c.state.rectifiers.modules.size(), 5u);
    EXPECT_EQ(c.faults.slow, 1.0);
    EXPECT_EQ(c.faults.drop, 0.1);
    EXPECT_EQ(c.faults.refuse, 0x4241);

    const auto error_of = [](const std::string& text) {
        try {
            config_of(text);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_NE(error_of(R"({"dc": [{"batteries": "x"}]})").find("dc[0].batteries"), std::string::npos);
    EXPECT_NE(error_of(R"({"ac": [{"channels": [{"a": "high"}]}]})").find("ac[0].channels[0].a"), std::string::npos);
    EXPECT_NE(error_of(R"({"dataflag": "sometimes"})").find("dataflag"), std::string::npos);
    EXPECT_NE(error_of(R"({"faults": {"drop": 2}})").find("faults.drop"), std::string::npos);
    EXPECT_NE(error_of(R"({"faults": {"refuse": "42-41"}})").find("faults.refuse"), std::string::npos);
    EXPECT_NE(error_of(R"({"faults": {"refuse": 4241}})").find("faults.refuse"), std::string::npos);
    EXPECT_NE(error_of(R"({"model": "KTR-40 with a name longer than twenty"})").find("model"), std::string::npos);

    // A misspelt key at any level is refused with the nearest known one, never ignored.
    EXPECT_NE(error_of(R"({"faults": {"dorp": 0.1}})").find(R"(faults: unknown key "dorp" (did you mean "drop"?))"),
              std::string::npos);
    EXPECT_NE(error_of(R"({"ac": [{"channels": [{"aa": 1}]}]})")
                  .find(R"(ac[0].channels[0]: unknown key "aa" (did you mean "a"?))"),
              std::string::npos);
    EXPECT_NE(error_of(R"({"dc": [{"voltag": 53}]})").find(R"(dc[0]: unknown key "voltag" (did you mean "voltage"?))"),
              std::string::npos);
    EXPECT_NE(error_of(R"({"rectifiers": {"modules": [{"curent": 1}]}})")
                  .find(R"(rectifiers.modules[0]: unknown key "curent" (did you mean "current"?))"),
              std::string::npos);
    EXPECT_NE(
        error_of(R"({"parameter": {}})").find(R"(top level: unknown key "parameter" (did you mean "parameters"?))"),
        std::string::npos);
    EXPECT_NE(error_of(R"({"colour": 3})").find(R"(unknown key "colour" (known here: model, )"), std::string::npos);
}

TEST(SimulatorConfig, TheExampleFileLoads) {
    const sim::SimConfig c = sim::load_config_file(std::string(KTR40E_SOURCE_DIR) + "/sim/ktr40e-sim.example.json");
    EXPECT_EQ(c.state.ac.at(0).channels.size(), 2u);
    EXPECT_FALSE(c.state.ac.at(0).channels.at(1).f.has_value());
    EXPECT_EQ(c.state.dc.at(0).userAlarms.size(), 17u);
    EXPECT_EQ(c.state.rectifiers.modules.size(), 3u);
    EXPECT_EQ(c.faults.slow, 0.0);
}

// The simulator in its thread and the host's transport on the two ends of a PTY pair.
TEST(Simulator, ServesTheHostOverAPty) {
    sim::SimConfig config = config_of(R"({"drift": 0, "baud": 2400})");
    sim::Simulator s(config);
    line::SerialTransport host(s.start_pty(), 9600);

    const auto start = std::chrono::steady_clock::now();
    host.send(line::Request{0x20, 0x01, 0x40, 0x51, {}});
    auto got = host.receive(3s);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_TRUE(got[0].ok());
    EXPECT_EQ(std::string(got[0].answer.info.begin(), got[0].answer.info.begin() + 6), "KTR-40");
    // 58 bytes at 2400 baud take 242 ms on the line.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 240ms);

    s.update([](sim::SiteState& st) { st.dc[0].voltage = 47.0f; });
    host.send(line::Request{0x21, 0x01, 0x42, 0x41, {0xFF}});
    got = host.receive(3s);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].answer.ver, 0x21);
    EXPECT_EQ(float_at(got[0].answer.info, 2), 47.0f);

    s.set_faults(dropping(1.0));
    host.send(line::Request{0x20, 0x01, 0x42, 0x41, {}});
    EXPECT_TRUE(host.receive(300ms).empty());
    s.stop();
    EXPECT_EQ(s.stats().requests, 3u);
    EXPECT_EQ(s.stats().dropped, 1u);
}

}  // namespace
