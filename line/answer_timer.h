#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace line {

// What a request asks for: its CID1 and CID2. Answers to different kinds take different times
// (a long answer built on demand, a short status).
struct RequestKind {
    std::uint8_t cid1 = 0;
    std::uint8_t cid2 = 0;

    bool operator==(const RequestKind& other) const { return cid1 == other.cid1 && cid2 == other.cid2; }
};

// "42/44": CID1 and CID2 in hex.
std::string kind_text(RequestKind kind);

// How long to wait for the answer to each kind of request, learned from the answers taken: a
// smoothed mean and deviation of the answer time per kind, as TCP keeps for its retransmission
// timer. The wait is the mean plus a margin (four deviations, at least half the mean), never
// below the floor and never above the ceiling; a kind with no answer yet gets the ceiling's
// starting wait. No I/O, no clock: the caller measures.
class AnswerTimer {
public:
    using Duration = std::chrono::microseconds;

    struct Limits {
        Duration first{1500000};    // the wait before a kind has been answered
        Duration floor{375000};     // the shortest wait, whatever was learned
        Duration ceiling{3000000};  // the longest wait, whatever was learned
    };

    // A kind's learned answer time and the wait that follows from it.
    struct Learned {
        RequestKind kind;
        Duration answer{0};
        Duration wait{0};
    };

    explicit AnswerTimer(Limits limits) : limits_(limits) {}
    // The limits that follow from the site's longest configured wait: the first wait is that
    // wait, the floor a quarter of it, the ceiling twice it.
    static Limits limits_for(Duration replyTimeout);

    Duration wait(RequestKind kind) const;
    // An answer taken `took` after its request.
    void answered(RequestKind kind, Duration took);
    // An answer that came `took` after its request, once the wait was over: the estimate is
    // raised at once so that the next answer of the kind is waited for.
    void late(RequestKind kind, Duration took);
    // Every kind answered so far, in the order first seen.
    std::vector<Learned> learned() const;

private:
    struct Estimate {
        RequestKind kind;
        Duration mean{0};
        Duration deviation{0};
    };

    void start(RequestKind kind, Duration took);
    Duration wait_for(const Estimate& estimate) const;

    Limits limits_;
    std::vector<Estimate> estimates_;
};

}  // namespace line
