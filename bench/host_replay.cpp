#include "host_replay.h"

#include <stdexcept>
#include <utility>

#include "host/pmbus_protocol.h"
#include "rigs.h"

namespace bench {

// A device with the host's base classes and nothing of its own: every call made on it is
// host work.
class HostReplay::StandIn : public PMBusProtocol {
public:
    using PMBusProtocol::LoadFromCache;
    bool LoadFromCache(const unsigned char*, int) override { return true; }
    bool process_payload() override { return true; }

    // Hands the host a work item as a unit does at a round end: the rules the checks
    // collected go to the batch check, then the image is saved. The item holds only this
    // pointer, which std::function keeps without allocating, and the rule list is swapped,
    // not reallocated, so the replay adds no allocation of its own.
    void queue_work(const site::Event* history) {
        pending_.swap(rules_);
        history_ = history;
        CheckThresholdWork([this] { run_work(); });
    }

private:
    void run_work() {
        DoBatchCheckThreshold(pending_);
        if (history_ != nullptr)
            SaveDeviceHistory(history_->bytes.data(), static_cast<unsigned int>(history_->bytes.size()));
        pending_.clear();
    }

    std::vector<rule_value> pending_;
    const site::Event* history_ = nullptr;
};

HostReplay::HostReplay(std::vector<site::Event> recorded, bool pollFirst)
    : recorded_(std::move(recorded)),
      paired_(recorded_.size(), false),
      pollFirst_(pollFirst),
      controller_(std::make_shared<site::Controller>(nullptr, site::WorkMode::Inline)),
      link_(std::make_shared<HostLink>(std::make_shared<CommandTap>())) {
    for (std::size_t i = 0; i < recorded_.size(); ++i) add(i);
    if (pollFirst_ && polled_ == nullptr) throw std::invalid_argument("a poll without any request to replay");
}

HostReplay::~HostReplay() = default;

HostReplay::StandIn& HostReplay::stand_in(unsigned dataId) {
    for (const auto& device : devices_)
        if (device->DataId() == dataId) return *device;
    auto device = std::make_shared<StandIn>();
    device->Init(controller_, dataId, Json::Value());
    devices_.push_back(device);
    return *device;
}

void HostReplay::add(std::size_t index) {
    const site::Event& event = recorded_[index];
    auto call = [&](Kind kind) { calls_.push_back(Call{kind, &stand_in(event.device), &event, nullptr, {}}); };
    switch (event.kind) {
        case site::EventKind::Request:
        case site::EventKind::Answer:
        case site::EventKind::Reset: {
            StandIn& device = stand_in(event.device);
            if (polled_ == nullptr) {
                HostLink::attach(device, link_);
                polled_ = &device;
            }
            if (event.kind == site::EventKind::Answer) {
                calls_.push_back(Call{Kind::Answer, &device, &event, nullptr,
                                      line::Answer{0x20, 1, event.cid1, event.rtn, event.bytes}});
            } else {
                call(event.kind == site::EventKind::Request ? Kind::Request : Kind::Reset);
            }
            break;
        }
        case site::EventKind::Publish: call(Kind::Publish); break;
        case site::EventKind::Alarm: call(Kind::Check); break;
        case site::EventKind::AlertMap: call(Kind::StateCheck); break;
        case site::EventKind::Batch: {
            // The work item's history save is recorded after its batch check.
            call(Kind::Work);
            for (std::size_t next = index + 1; next < recorded_.size(); ++next) {
                const site::Event& later = recorded_[next];
                if (later.kind == site::EventKind::History && later.device == event.device && !paired_[next]) {
                    paired_[next] = true;
                    calls_.back().history = &later;
                    break;
                }
            }
            break;
        }
        case site::EventKind::Log: ++logs_; break;
        default: break;  // transitions and the like follow from the calls above
    }
}

void HostReplay::run() {
    if (pollFirst_) polled_->RefreshStatus();
    for (const Call& call : calls_) make(call);
}

void HostReplay::make(const Call& call) {
    StandIn& device = *call.device;
    const site::Event& e = *call.event;
    switch (call.kind) {
        case Kind::Request:
            link_->send(device, e.cid1, e.cid2, e.bytes.empty() ? nullptr : e.bytes.data(),
                        static_cast<int>(e.bytes.size()));
            break;
        case Kind::Answer: link_->deliver(device, call.answer); break;
        case Kind::Reset: device.Reset(); break;
        case Kind::Publish:
            device.SendSP(e.record, e.bytes.data(), static_cast<unsigned int>(e.bytes.size()), false);
            break;
        case Kind::Check: device.CheckThresholdBool(e.level, e.key, e.code, e.name, e.text, e.active, e.seq); break;
        case Kind::StateCheck:
            device.CheckAlertMap(e.state, e.level, e.key, e.code, e.name, e.text, e.stateTexts, e.seq);
            break;
        case Kind::Work: device.queue_work(call.history); break;
    }
}

}  // namespace bench
