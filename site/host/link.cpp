#include "site/host/link.h"

#include "host/pmbus_protocol.h"
#include "site/host/emit.h"

using site::Event;
using site::EventKind;

namespace {

// The step a protocol device starts its cycle at, and goes back to when a round is complete.
constexpr std::int32_t kFirstStep = 0;

}  // namespace

HostLink::HostLink(std::shared_ptr<line::Transport> transport, std::chrono::milliseconds replyTimeout)
    : transport_(std::move(transport)), replyTimeout_(replyTimeout) {}

void HostLink::attach(VRTSPDevice& device, std::shared_ptr<HostLink> link) {
    VRTHostAccess::link(device) = std::move(link);
}

bool HostLink::ready_for_request(VRTSPDevice& device) { return !awaiting_ || expire(device, Clock::now()); }

bool HostLink::expire(VRTSPDevice& device, Clock::time_point now) {
    if (!awaiting_ || now < deadline_) return false;
    awaiting_ = false;
    ++timeouts_;
    site::emit_for(device, EventKind::Timeout);
    return true;
}

void HostLink::end_exchange(VRTSPDevice& device) {
    awaiting_ = false;
    site::emit_for(device, EventKind::Reset);
}

void HostLink::send(PMBusProtocol& device, std::uint8_t cid1, std::uint8_t cid2, const unsigned char* info, int len) {
    request_.ver = VRTHostAccess::protocol_version(device);
    request_.adr = VRTHostAccess::address(device);
    request_.cid1 = cid1;
    request_.cid2 = cid2;
    if (info != nullptr && len > 0) {
        request_.info.assign(info, info + len);
    } else {
        request_.info.clear();
    }
    awaiting_ = true;
    ++sent_;
    sentAt_ = Clock::now();
    deadline_ =
        sentAt_ + (timer_ != nullptr ? Clock::duration(timer_->wait(last_kind())) : Clock::duration(replyTimeout_));
    site::emit_for(device, EventKind::Request, [&](Event& e) {
        e.cid1 = cid1;
        e.cid2 = cid2;
        e.bytes = request_.info;
    });
    if (transport_) transport_->send(request_);
}

bool HostLink::deliver(PMBusProtocol& device, const line::Answer& answer) {
    awaiting_ = false;
    site::emit_for(device, EventKind::Answer, [&](Event& e) {
        e.cid1 = answer.cid1;
        e.rtn = answer.rtn;
        e.bytes = answer.info;
    });
    const std::size_t lenid = answer.info.size() * 2;
    if (answer.rtn != 0 || lenid > 0xFFFF) {
        site::emit_for(device, EventKind::Rejected, [&](Event& e) {
            e.cid1 = answer.cid1;
            e.rtn = answer.rtn;
            e.text = answer.rtn != 0 ? "return code not normal" : "INFO too long";
        });
        return false;
    }
    payload_.resize(6 + answer.info.size());
    payload_[0] = answer.ver;
    payload_[1] = answer.adr;
    payload_[2] = answer.cid1;
    payload_[3] = answer.rtn;
    payload_[4] = static_cast<std::uint8_t>(lenid & 0xFF);
    payload_[5] = static_cast<std::uint8_t>(lenid >> 8);
    std::copy(answer.info.begin(), answer.info.end(), payload_.begin() + 6);
    const std::int32_t stepBefore = VRTHostAccess::step(device);
    const std::uint64_t sentBefore = sent_;
    unsigned char*& slot = VRTHostAccess::payload(device);
    slot = payload_.data();
    const bool result = device.process_payload();
    slot = nullptr;
    count_round(device, stepBefore, sentBefore);
    return result;
}

bool HostLink::poll(PMBusProtocol& device) {
    const std::int32_t stepBefore = VRTHostAccess::step(device);
    const std::uint64_t sentBefore = sent_;
    const bool result = device.RefreshStatus();
    count_round(device, stepBefore, sentBefore);
    return result;
}

void HostLink::count_round(PMBusProtocol& device, std::int32_t stepBefore, std::uint64_t sentBefore) {
    if (stepBefore == kFirstStep || VRTHostAccess::step(device) != kFirstStep || sent_ != sentBefore) return;
    ++rounds_;
    const std::shared_ptr<site::Controller> controller = VRTHostAccess::controller(device);
    if (site::RoundSink* sink = controller ? controller->sink() : nullptr) sink->round_ended(device.DataId());
}
