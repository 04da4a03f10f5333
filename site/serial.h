#pragma once
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "site/frame.h"
#include "site/link.h"

namespace site {

// Owns a file descriptor; closes it once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// True for the baud rates the line can be set to (300 to 230400).
bool supported_baud(int baud);

// How long a line at `baud` takes to carry `chars` characters of 10 bits (8N1); zero without a rate.
std::chrono::microseconds line_time(std::size_t chars, int baud);

// Sets a terminal to raw 8N1 at `baud`, without flow control. Throws std::system_error.
void configure_raw(int fd, int baud);

// Both ends of a pseudo-terminal, the slave end in raw mode.
struct PtyPair {
    UniqueFd master;
    UniqueFd slave;
    std::string slavePath;
};
// Throws std::system_error.
PtyPair open_pty_pair();

// One serial line: a device path opened lazily and reopened after an error, or a descriptor
// handed over (a PTY end), which is kept whatever happens. Non-blocking; every wait is a poll.
class SerialPort {
public:
    SerialPort() = default;
    // Opens `path` at the first use. Throws std::invalid_argument for an unsupported baud rate.
    SerialPort(std::string path, int baud);
    // Takes over an open descriptor and sets it to raw 8N1 at `baud`.
    SerialPort(UniqueFd fd, int baud);

    // Opens the device if it is closed; false when that failed (see last_error()).
    bool ensure_open();
    bool is_open() const { return fd_.valid(); }
    // The open descriptor, for a caller that polls many lines at once; -1 while closed.
    int fd() const { return fd_.get(); }
    // Writes everything within `timeout`; false on an error or when time ran out.
    bool write_all(const char* data, std::size_t size, std::chrono::milliseconds timeout);
    // Waits up to `timeout` for input. Returns the bytes read, 0 when none came in time,
    // -1 on an error (a device path is then closed, to be reopened at the next use).
    long read_some(std::uint8_t* buffer, std::size_t size, std::chrono::milliseconds timeout);
    // Drops input the terminal holds that nobody has read.
    void discard_input();

    // How often the device was opened; more than once means it was reopened after an error.
    unsigned opens() const { return opens_; }
    const std::string& last_error() const { return lastError_; }
    int baud() const { return baud_; }

private:
    void fail(const char* what, int err);

    std::string path_;
    int baud_ = 9600;
    UniqueFd fd_;
    unsigned opens_ = 0;
    std::string lastError_;
};

// Reads frames from a port through a decoder, keeping what it read beyond a frame for later.
class FrameReceiver {
public:
    using Clock = std::chrono::steady_clock;

    explicit FrameReceiver(std::size_t maxInfoBytes = kMaxInfoBytes) : decoder_(maxInfoBytes) {}

    // The next frame or rejection, or nullptr when none was complete by `deadline`. A failing
    // port is retried until the deadline. The result stays valid until the next call.
    const DecodeResult* next(SerialPort& port, Clock::time_point deadline);
    // Forgets buffered input and any partial frame.
    void reset();
    // Characters still to come to complete the frame under way, when read input has shown its
    // length; 0 otherwise (also while read input waits to be decoded).
    std::size_t awaited() const { return begin_ < end_ ? 0 : decoder_.awaited(); }

private:
    const DecodeResult* decode_pending();

    FrameDecoder decoder_;
    std::array<std::uint8_t, 512> pending_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// A decoded answer, or the reason a frame was refused with the header as far as it was read.
struct Received {
    FrameError error = FrameError::None;
    bool headerRead = false;
    Answer answer;

    bool ok() const { return error == FrameError::None; }
};

// The host's end of the serial line. Call send() and receive() from one thread.
class SerialTransport : public Transport {
public:
    // Opens `device` lazily. Throws std::invalid_argument for an unsupported baud rate.
    explicit SerialTransport(std::string device, int baud = 9600);
    // Uses a port set up by the caller (a PTY end in tests).
    explicit SerialTransport(SerialPort port);

    // Drops unread input (a late answer to an earlier request), then writes the framed
    // request. A failure is kept in last_error() and the port reopened at the next use;
    // the request is then lost and the caller's reply timeout takes over.
    void send(const Request& request) override;
    // Waits up to `timeout` for the first answer or rejection and returns it together with
    // every further one already received; empty when nothing came in time.
    std::vector<Received> receive(std::chrono::milliseconds timeout);

    SerialPort& port() { return port_; }
    // How long the line still needs to carry the rest of a frame partly received, at ten bits
    // per character; zero when no frame is under way or its length is not known yet.
    std::chrono::microseconds rest_of_frame() const;
    // Whether the last request went out whole; if not, last_error() tells why.
    bool last_send_ok() const { return lastSendOk_; }
    const std::string& last_error() const { return port_.last_error(); }

private:
    SerialPort port_;
    bool lastSendOk_ = false;
    FrameReceiver receiver_;
    std::string frame_;
};

}  // namespace site
