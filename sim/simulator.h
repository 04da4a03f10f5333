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

#include "line/frame.h"
#include "line/line_server.h"
#include "line/serial.h"
#include "line/tcp_listener.h"
#include "sim/device.h"
#include "sim/overcounts.h"
#include "sim/state.h"

namespace sim {

struct SimStats {
    std::uint64_t requests = 0;      // frames received, refused ones included
    std::uint64_t refused = 0;       // requests the decoder refused
    std::uint64_t otherAddress = 0;  // answered with RTN 0x90
    std::uint64_t unknown = 0;       // answered with RTN 0x04
    std::uint64_t answers = 0;       // replies handed to the line
    std::uint64_t dropped = 0;
    std::uint64_t corrupted = 0;
    std::uint64_t wrongCid1 = 0;
    std::uint64_t wrongCount = 0;
    std::uint64_t slowed = 0;
    std::uint64_t truncated = 0;
    std::uint64_t overcounted = 0;
    std::uint64_t hangUps = 0;       // hang-ups of the fault (not those asked for with hang_up())
    std::uint64_t refusable = 0;     // answers to the command of Faults::refuse
    std::uint64_t unanswered = 0;    // requests for the command of Faults::neverAnswer, left unanswered
    std::uint64_t errorAnswers = 0;  // answers with the RTN of Faults::rtn
};

// What goes on the line in return for one request.
struct Reply {
    std::string line;                    // noise, then the answer frame
    std::chrono::milliseconds delay{0};  // wait before sending; with hangUp, how long the line stays away
    bool hangUp = false;                 // the line hangs up instead of answering
};

// The simulated power system on a line: answers each request with the request's VER and
// ADR, RTN 0x90 to an address other than its own, RTN 0x04 to a command it does not know,
// RTN 0x02 / 0x03 to a request with a bad CHKSUM / LCHKSUM addressed to it, and stays silent
// on other broken requests. Answers go out at the configured baud, ten bits per byte, and
// only after the request itself would have taken its time on the line.
// respond, update, state, set_faults, stats and set_trace may be called from any thread;
// start, start_pty, stop, hang_up and come_back from the owner's.
class Simulator : public line::LineServer {
public:
    explicit Simulator(SimConfig config);
    ~Simulator() override;
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Answers on `port` from a thread of its own. Throws std::logic_error when already running.
    void start(line::SerialPort port);
    // Opens a PTY pair, answers on its master end and returns the slave's path for the host.
    // With `link`, makes that path a symbolic link to the slave end and returns it: the line can
    // then hang up and come back on a new PTY (hang_up, come_back and the hang-up fault), the
    // link removed while it is away and pointed at the new slave when it is back.
    std::string start_pty(const std::string& link = std::string()) override;
    // Answers TCP clients on 127.0.0.1:`port` (0: a free port) from a thread of its own, one
    // connection at a time, as a serial device server does. Returns the port it listens on.
    std::uint16_t start_tcp(std::uint16_t port = 0);
    // Stops answering and closes the line (removing the link, or the listening socket).
    void stop();
    // The line vanishes: the PTY's master end is closed and the link removed. Throws
    // std::logic_error for a line started without a link.
    void hang_up();
    // The line comes back on a new PTY behind the same link. Throws std::logic_error when
    // the line is up.
    void come_back();

    // The reply to one decoded (or refused) request with the faults applied; nothing when
    // the system stays silent. The line thread uses it; tests may call it directly.
    std::optional<Reply> respond(const line::DecodeResult& request);

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
    // Takes the next TCP client when none is connected; false when none came.
    bool accept_client();
    // The echo of a request, as a two-wire line would carry it back; empty when off.
    std::string echo_of(const line::DecodeResult& request) const;
    void launch();
    void stop_thread();
    // Opens a new PTY pair for the line, points the link at it and returns the slave's path.
    std::string open_pty_line();
    void close_line();
    // The hang-up fault on the line thread; false when stop() was called meanwhile.
    bool stay_away(std::chrono::milliseconds away);
    bool chance(double share);
    std::optional<std::string> answer(std::uint8_t cid1, std::uint8_t cid2, double elapsed);
    const Overcount* pick_overcount(std::uint8_t cid1, std::uint8_t cid2);
    std::optional<Reply> reply_to_refused(const line::DecodeResult& request);
    std::optional<Reply> with_faults(line::FrameHeader header, std::string info, bool countsUnits);
    void trace(const std::string& line);
    // Waits until `until`; false when stop() was called meanwhile.
    bool pause_until(Clock::time_point until);
    void send_paced(const std::string& line);

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
    line::SerialPort port_;
    line::UniqueFd keepOpen_;   // the PTY slave, held so the master never sees a hang-up
    line::TcpListener listen_;  // with start_tcp
    std::string link_;          // set before the line thread starts
    std::thread thread_;
};

}  // namespace sim
