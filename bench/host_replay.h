#pragma once
#include <cstddef>
#include <memory>
#include <vector>

#include "site/host/controller.h"
#include "site/host/events.h"
#include "site/host/link.h"

namespace bench {

// The stand-in host's own share of a stretch of plug-in work. Takes the host service calls a
// recording observer saw (requests, answers handed over, publishes, alarm and state checks,
// round work with its batch check and history save, end of exchange) and makes them again,
// with the same arguments, on stand-in devices that do nothing themselves, under a
// controller like the benchmarked one (no observer, work run at once). What a replay costs
// and allocates is what the host spent on the recorded work; the rest was the plug-in's.
class HostReplay {
public:
    // With `pollFirst` the replay begins with the host's part of a poll: the recorded stretch
    // began with RefreshStatus. Recorded log lines are not replayed: see logs().
    HostReplay(std::vector<site::Event> recorded, bool pollFirst);
    ~HostReplay();
    HostReplay(const HostReplay&) = delete;
    HostReplay& operator=(const HostReplay&) = delete;

    void run();
    // Host calls made by one run.
    std::size_t calls() const { return calls_.size() + (pollFirst_ ? 1 : 0); }
    // Log lines in the recording: the plug-in logs only when an answer is not as expected.
    std::size_t logs() const { return logs_; }

private:
    class StandIn;
    enum class Kind { Request, Answer, Reset, Publish, Check, StateCheck, Work };
    struct Call {
        Kind kind;
        StandIn* device;
        const site::Event* event;
        const site::Event* history;  // Work: the image the work item saves, if any
        line::Answer answer;         // Answer: as the line hands it over
    };

    StandIn& stand_in(unsigned dataId);
    void add(std::size_t index);
    void make(const Call& call);

    std::vector<site::Event> recorded_;
    std::vector<bool> paired_;
    bool pollFirst_;
    std::size_t logs_ = 0;
    std::shared_ptr<site::Controller> controller_;
    std::shared_ptr<HostLink> link_;
    std::vector<std::shared_ptr<StandIn>> devices_;
    StandIn* polled_ = nullptr;
    std::vector<Call> calls_;
};

}  // namespace bench
