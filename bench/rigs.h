#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "ac/ktr40e_ac.h"
#include "dc/ktr40e_dc.h"
#include "power/ktr40e.h"
#include "rc/ktr40e_rc.h"
#include "site/host/controller.h"
#include "site/host/events.h"
#include "site/host/link.h"

namespace bench {

// INFO bytes from `offset` on: what a parse operation is handed.
struct Portion {
    const unsigned char* data = nullptr;
    int len = 0;
};

// The answers the simulated KTR-40 gives for the benchmark site, values held still, decoded
// by the stand-in host's framing as they would be off the line.
class TypicalAnswers {
public:
    TypicalAnswers();

    // Throws std::out_of_range for a command the system does not answer.
    const line::Answer& to(std::uint8_t cid1, std::uint8_t cid2) const;
    Portion portion(std::uint8_t cid1, std::uint8_t cid2, int offset) const;

private:
    struct Entry {
        std::uint8_t cid2;
        line::Answer answer;
    };
    std::vector<Entry> entries_;
};

// A group's answers carry DATAFLAG and the unit count before the first unit's block; the
// rectifier group reads the whole INFO.
inline constexpr int kUnitBlockOffset = 2;

// The line of a benchmarked device: keeps only the command of the last request, so the line
// costs nothing and allocates nothing.
class CommandTap : public line::Transport {
public:
    void send(const line::Request& request) override;
    std::uint8_t cid1() const { return cid1_; }
    std::uint8_t cid2() const { return cid2_; }
    std::uint64_t sent() const { return sent_; }

private:
    std::uint8_t cid1_ = 0;
    std::uint8_t cid2_ = 0;
    std::uint64_t sent_ = 0;
};

// The plug-in's power system device for the benchmark site on the stand-in host: work items
// run at once (no queue to grow), no observer unless one is given. The constructor passes the
// model check and a first round.
class PowerRig {
public:
    static constexpr unsigned kDataId = 100;

    explicit PowerRig(const TypicalAnswers& answers, std::shared_ptr<site::Observer> observer = nullptr);

    // One polling round: the poll that starts it and the answer to every request until the
    // round ends. False when it was not a full round of kRoundRequests requests.
    bool run_round();

private:
    bool answer_round(std::uint64_t sentBefore);

    const TypicalAnswers& answers_;
    std::shared_ptr<site::Controller> controller_;
    std::shared_ptr<CommandTap> tap_;
    std::shared_ptr<HostLink> link_;
    std::shared_ptr<Ktr40e> device_;
};

// One unit of each kind on its own, fed the typical answers as the power system device
// feeds its first unit of a kind.
class UnitRigs {
public:
    explicit UnitRigs(const TypicalAnswers& answers, std::shared_ptr<site::Observer> observer = nullptr);

    // Hands every unit each of its answers once; false when one was not taken whole.
    bool feed();

    std::shared_ptr<Ktr40eAC> ac;
    std::shared_ptr<Ktr40eDC> dc;
    std::shared_ptr<Ktr40eRC> rc;

private:
    const TypicalAnswers& answers_;
    std::shared_ptr<site::Controller> controller_;
};

}  // namespace bench
