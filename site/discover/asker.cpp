#include "site/discover/asker.h"

namespace discover {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What the last of a frame's characters may lag behind the line's pace.
constexpr milliseconds kFrameSlack(20);

bool is_for(const line::Answer& answer, const line::Request& request) {
    return answer.adr == request.adr && answer.cid1 == request.cid1;
}

milliseconds until(Clock::time_point deadline) {
    return std::chrono::ceil<milliseconds>(std::max(deadline - Clock::now(), Clock::duration::zero()));
}

}  // namespace

std::string command_text(std::uint8_t cid1, std::uint8_t cid2) {
    std::string text;
    line::append_hex(text, cid1);
    text += '/';
    line::append_hex(text, cid2);
    return text;
}

std::string reply_text(const Reply& reply) {
    switch (reply.kind) {
        case Reply::Kind::Answer: {
            if (reply.answer.rtn == 0) return "answered";
            std::string text = "RTN 0x";
            line::append_hex(text, reply.answer.rtn);
            return text;
        }
        case Reply::Kind::Silent: return "no answer";
        case Reply::Kind::Garbled: return "garbled (" + reply.reason + ")";
        case Reply::Kind::LineFailed: return "line failed: " + reply.reason;
    }
    return "";
}

LineAsker::LineAsker(const std::string& port, int baud, line::LineFormat format) : transport_(port, baud, format) {}

std::string LineAsker::open() { return transport_.port().ensure_open() ? std::string() : transport_.last_error(); }

Reply LineAsker::ask(const line::Request& request, milliseconds answerTime) {
    Clock::time_point deadline = Clock::now() + answerTime;
    transport_.send(request);
    if (!transport_.last_send_ok()) return Reply{Reply::Kind::LineFailed, {}, transport_.last_error()};
    Reply reply;
    bool extended = false;
    for (;;) {
        for (const line::Received& received : transport_.receive(until(deadline))) {
            if (!received.ok()) {
                reply.kind = Reply::Kind::Garbled;
                reply.reason = line::to_string(received.error);
            } else if (is_for(received.answer, request) && !line::is_echo_of(received.answer, request)) {
                return Reply{Reply::Kind::Answer, received.answer, {}};
            }
            // Anything else is the line's echo, or another device's late answer.
        }
        if (Clock::now() < deadline) continue;
        // An answer under way at the deadline is waited for to its last character, once.
        const auto rest = transport_.rest_of_frame();
        if (extended || rest.count() == 0) return reply;
        extended = true;
        deadline = Clock::now() + std::chrono::ceil<milliseconds>(rest) + kFrameSlack;
    }
}

}  // namespace discover
