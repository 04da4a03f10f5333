#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "line/answer_timer.h"
#include "line/transport.h"

class PMBusProtocol;
class VRTSPDevice;

// The host's side of one device's exchange: one request outstanding at a time, a reply
// timeout after which a later poll is let through, and the answer handed to the device.
class HostLink {
public:
    using Clock = std::chrono::steady_clock;

    explicit HostLink(std::shared_ptr<line::Transport> transport,
                      std::chrono::milliseconds replyTimeout = std::chrono::milliseconds(1500));

    // Waits for each request's answer as long as `timer` says for its kind, rather than the
    // reply timeout; nullptr: the reply timeout. The timer must outlive the link's requests.
    void wait_by(const line::AnswerTimer* timer) { timer_ = timer; }

    // Connects the device's requests to this link.
    static void attach(VRTSPDevice& device, std::shared_ptr<HostLink> link);

    // Hands a decoded answer to the device; an answer whose RTN is not 0 ends the exchange, is
    // reported and not handed on. Returns what process_payload returned (false when the answer
    // was not handed on).
    bool deliver(PMBusProtocol& device, const line::Answer& answer);
    // Lets the device poll (RefreshStatus) and returns what it returned. A device may end a
    // round in a poll too, when it gives up on the last step of the round.
    bool poll(PMBusProtocol& device);
    // The rounds the device completed in the answers handed to it and in its polls. The device
    // ends a round by going back to its first step (0) without a further request, and only then:
    // every other answer or poll leaves it where it was or sends a request, so this needs nothing
    // of the device's events.
    std::uint64_t rounds() const { return rounds_; }

    bool awaiting() const { return awaiting_; }
    Clock::time_point deadline() const { return deadline_; }
    std::uint64_t timeouts() const { return timeouts_; }
    // The request last sent, and how many were sent so far (which tells one request from the next).
    const line::Request& last_request() const { return request_; }
    std::uint64_t sent() const { return sent_; }
    Clock::time_point sent_at() const { return sentAt_; }
    line::RequestKind last_kind() const { return line::RequestKind{request_.cid1, request_.cid2}; }
    // Gives up waiting once the reply timeout has passed: counts and reports the timeout.
    // True when it did; the device may then ask again.
    bool expire(VRTSPDevice& device, Clock::time_point now);

    // Called by the host's device operations.
    bool ready_for_request(VRTSPDevice& device);
    void end_exchange(VRTSPDevice& device);
    void send(PMBusProtocol& device, std::uint8_t cid1, std::uint8_t cid2, const unsigned char* info, int len);

private:
    void count_round(PMBusProtocol& device, std::int32_t stepBefore, std::uint64_t sentBefore);

    std::shared_ptr<line::Transport> transport_;
    std::chrono::milliseconds replyTimeout_;
    const line::AnswerTimer* timer_ = nullptr;
    Clock::time_point sentAt_{};
    bool awaiting_ = false;
    Clock::time_point deadline_{};
    std::uint64_t timeouts_ = 0;
    std::uint64_t sent_ = 0;
    std::uint64_t rounds_ = 0;
    std::vector<std::uint8_t> payload_;
    line::Request request_;
};
