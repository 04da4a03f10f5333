#pragma once
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "line/frame.h"
#include "line/transport.h"

namespace line {

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

enum class Parity { None, Even, Odd };

// Character framing of a serial line besides its eight data bits.
struct LineFormat {
    Parity parity = Parity::None;
    int stopBits = 1;  // 1 or 2
};

// "8N1", "8E2", ...
std::string format_text(const LineFormat& format);

// Sets a terminal to raw mode at `baud` with eight data bits and `format`, without flow
// control. Throws std::system_error.
void configure_raw(int fd, int baud, const LineFormat& format = LineFormat());

// True for a port named tcp://HOST:PORT: a raw TCP connection to a serial device server.
bool is_tcp_port(const std::string& port);

// Both ends of a pseudo-terminal, the slave end in raw mode.
struct PtyPair {
    UniqueFd master;
    UniqueFd slave;
    std::string slavePath;
};
// Throws std::system_error.
PtyPair open_pty_pair();

// One serial line: a device path or a tcp://HOST:PORT address opened lazily and reopened after
// an error, or a descriptor handed over (a PTY end, kept whatever happens; a connected socket,
// closed when it fails). Non-blocking; every wait is a poll. A device is opened for this
// program alone (TIOCEXCL and an advisory lock); a TCP connection that fails is tried again
// after a back-off that doubles up to 30 s, and starts afresh only after a connection that
// stayed up for a minute.
class SerialPort {
public:
    SerialPort() = default;
    // Opens `path` at the first use. Throws std::invalid_argument for an unsupported baud rate.
    SerialPort(std::string path, int baud, LineFormat format = LineFormat());
    // Takes over an open terminal descriptor and sets it to raw 8N1 at `baud`.
    SerialPort(UniqueFd fd, int baud);
    ~SerialPort();
    SerialPort(SerialPort&&) = default;
    SerialPort& operator=(SerialPort&& other) noexcept;
    // Takes over a connected socket (a serial server's client).
    static SerialPort adopt_socket(UniqueFd fd);

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
    // Reads and drops whatever input the line holds; returns how many bytes that was.
    std::size_t discard_input();

    // How often the device was opened; more than once means it was reopened after an error.
    unsigned opens() const { return opens_; }
    const std::string& last_error() const { return lastError_; }
    // The last open failed because another program holds the port.
    bool in_use() const { return inUse_; }
    int baud() const { return baud_; }
    // A TCP connection: no baud rate paces what arrives.
    bool is_socket() const { return socket_; }

private:
    bool open_device();
    bool open_tcp();
    void fail(const char* what, int err);
    void close_fd();

    std::string path_;
    int baud_ = 9600;
    LineFormat format_;
    bool socket_ = false;
    UniqueFd fd_;
    unsigned opens_ = 0;
    std::string lastError_;
    bool inUse_ = false;
    bool exclusive_ = false;  // TIOCEXCL is set on fd_ and must be lifted before it closes
    std::chrono::steady_clock::time_point retryAt_{};
    std::chrono::milliseconds backOff_{0};
    std::chrono::steady_clock::time_point connectedAt_{};  // of the open connection
};

// Reads frames from a port through a decoder, keeping what it read beyond a frame for later.
class FrameReceiver {
public:
    using Clock = std::chrono::steady_clock;

    explicit FrameReceiver(std::size_t maxInfoBytes = kMaxInfoBytes) : decoder_(maxInfoBytes) {}

    // The next frame or rejection, or nullptr when none was complete by `deadline`. A failing
    // port is retried until the deadline. The result stays valid until the next call.
    const DecodeResult* next(SerialPort& port, Clock::time_point deadline);
    // Forgets buffered input and any partial frame; returns how many read bytes were still
    // waiting to be decoded.
    std::size_t reset();
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
    explicit SerialTransport(std::string device, int baud = 9600, LineFormat format = LineFormat());
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
    const SerialPort& port() const { return port_; }
    // Drops whatever the line holds, read or not; returns how many bytes that was.
    std::size_t discard_input();
    // Bytes send() dropped before its requests since the last call.
    std::size_t take_discarded() { return std::exchange(discardedBySend_, 0); }
    // The line is shared by several power systems (one multi-drop bus): who holds it now,
    // between a request and the end of its answer or settle time; nullptr when free.
    const void* holder() const { return holder_; }
    void hold(const void* holder) { holder_ = holder; }
    // How long the line still needs to carry the rest of a frame partly received, at ten bits
    // per character; zero when no frame is under way or its length is not known yet.
    std::chrono::microseconds rest_of_frame() const;
    // Whether the last request went out whole; if not, last_error() tells why.
    bool last_send_ok() const { return lastSendOk_; }
    const std::string& last_error() const { return port_.last_error(); }

private:
    SerialPort port_;
    bool lastSendOk_ = false;
    const void* holder_ = nullptr;
    std::size_t discardedBySend_ = 0;
    FrameReceiver receiver_;
    std::string frame_;
};

}  // namespace line
