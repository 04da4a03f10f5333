#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "sim/device.h"
#include "sim/state.h"
#include "site/frame.h"
#include "site/serial.h"

namespace sim {

struct SimStats {
    std::uint64_t requests = 0;       // frames received, refused ones included
    std::uint64_t refused = 0;        // requests the decoder refused
    std::uint64_t otherAddress = 0;   // answered with RTN 0x90
    std::uint64_t unknown = 0;        // answered with RTN 0x04
    std::uint64_t answers = 0;        // replies handed to the line
    std::uint64_t dropped = 0;
    std::uint64_t corrupted = 0;
    std::uint64_t wrongCid1 = 0;
    std::uint64_t wrongCount = 0;
    std::uint64_t slowed = 0;
};

// What goes on the line in return for one request.
struct Reply {
    std::string line;                     // noise, then the answer frame
    std::chrono::milliseconds delay{0};  // wait before sending
};

// The simulated power system on a line: answers each request with the request's VER and
// ADR, RTN 0x90 to an address other than its own, RTN 0x04 to a command it does not know,
// RTN 0x02 / 0x03 to a request with a bad CHKSUM / LCHKSUM addressed to it, and stays silent
// on other broken requests. Answers go out at the configured baud, ten bits per byte, and
// only after the request itself would have taken its time on the line.
// respond, update, state, set_faults, stats and set_trace may be called from any thread;
// start and stop from the owner's.
class Simulator {
public:
    explicit Simulator(SimConfig config);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Answers on `port` from a thread of its own. Throws std::logic_error when already running.
    void start(site::SerialPort port);
    // Opens a PTY pair, answers on its master end and returns the slave's path for the host.
    std::string start_pty();
    void stop();

    // The reply to one decoded (or refused) request with the faults applied; nothing when
    // the system stays silent. The line thread uses it; tests may call it directly.
    std::optional<Reply> respond(const site::DecodeResult& request);

    // Changes values or alarm states while running: `change(SiteState&)` runs under the lock.
    template <class Change>
    void update(Change&& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change(model_.state());
    }
    SiteState state() const;
    void set_faults(const Faults& faults);
    SimStats stats() const;
    // Receives one line per request and reply, on the line thread.
    void set_trace(std::function<void(const std::string&)> trace);

private:
    using Clock = std::chrono::steady_clock;

    void run();
    bool chance(double share);
    std::optional<Reply> reply_to_refused(const site::DecodeResult& request);
    std::optional<Reply> with_faults(site::FrameHeader header, std::string info, bool countsUnits);
    void trace(const std::string& line);
    // Waits until `until`; false when stop() was called meanwhile.
    bool pause_until(Clock::time_point until);
    void send_paced(const std::string& line);
    Clock::duration line_time(std::size_t bytes) const;

    mutable std::mutex mutex_;  // guards model_, faults_, rng_, stats_ and trace_
    DeviceModel model_;
    Faults faults_;
    std::mt19937 rng_;
    SimStats stats_;
    std::function<void(const std::string&)> trace_;
    const std::uint8_t address_;
    const int baud_;
    const Clock::time_point started_ = Clock::now();

    std::mutex stopMutex_;
    std::condition_variable stopWake_;
    bool stopping_ = false;
    site::SerialPort port_;
    site::UniqueFd keepOpen_;  // the PTY slave, held so the master never sees a hang-up
    std::thread thread_;
};

}  // namespace sim
