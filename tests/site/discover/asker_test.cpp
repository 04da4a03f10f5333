// One request on a pseudo-terminal and what is taken for its answer.
#include <gtest/gtest.h>

#include <thread>

#include "line/frame.h"
#include "site/discover/asker.h"

namespace {

using namespace std::chrono_literals;
using discover::Reply;

const line::Request kModelQuery{0x20, 3, 0x40, 0x51, {}};

std::string answer_frame(std::uint8_t adr, std::uint8_t cid1) {
    const std::string model = "KTR-40              ";
    return line::encode(line::Answer{0x20, adr, cid1, 0x00, std::vector<std::uint8_t>(model.begin(), model.end())});
}

struct LineCase {
    const char* name;
    std::vector<std::string> pieces;  // written one after the other
    std::chrono::milliseconds gap;    // before each piece
    Reply::Kind kind;
};

class Asking : public ::testing::TestWithParam<LineCase> {};

// The answer time is 100 ms; at 1200 baud a model answer takes some 480 ms on the line.
TEST_P(Asking, TakesOnlyTheAnswerOfTheAddressAsked) {
    const LineCase& c = GetParam();
    line::PtyPair pty = line::open_pty_pair();
    discover::LineAsker asker(pty.slavePath, 1200, line::LineFormat());
    ASSERT_EQ(asker.open(), "");
    std::thread device([&] {
        for (const std::string& piece : c.pieces) {
            std::this_thread::sleep_for(c.gap);
            ASSERT_EQ(::write(pty.master.get(), piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
        }
    });
    const Reply reply = asker.ask(kModelQuery, 100ms);
    device.join();
    EXPECT_EQ(reply.kind, c.kind) << reply.reason;
    if (reply.kind == Reply::Kind::Answer) {
        EXPECT_EQ(reply.answer.adr, 3);
    }
}

const std::string kAnswer = answer_frame(3, 0x40);

INSTANTIATE_TEST_SUITE_P(
    Line, Asking,
    ::testing::Values(
        LineCase{"Answer", {kAnswer}, 10ms, Reply::Kind::Answer},
        LineCase{"EchoThenAnswer", {line::encode(kModelQuery), kAnswer}, 10ms, Reply::Kind::Answer},
        LineCase{"LateAnswerOfAnotherAddressThenAnswer", {answer_frame(2, 0x40), kAnswer}, 10ms, Reply::Kind::Answer},
        LineCase{"AnotherAddressOnly", {answer_frame(2, 0x40)}, 10ms, Reply::Kind::Silent},
        LineCase{"EchoOnly", {line::encode(kModelQuery)}, 10ms, Reply::Kind::Silent},
        LineCase{"Garbled", {kAnswer.substr(0, kAnswer.size() - 3) + "0\r"}, 10ms, Reply::Kind::Garbled},
        // Under way at the deadline: waited for to its last character.
        LineCase{"StartedInTime", {kAnswer.substr(0, 20), kAnswer.substr(20)}, 80ms, Reply::Kind::Answer},
        LineCase{"Nothing", {}, 10ms, Reply::Kind::Silent}),
    [](const ::testing::TestParamInfo<LineCase>& param) { return param.param.name; });

}  // namespace
