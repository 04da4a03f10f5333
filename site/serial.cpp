#include "site/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace site {
namespace {

using std::chrono::milliseconds;

struct BaudRate {
    int baud;
    speed_t speed;
};

constexpr BaudRate kBaudRates[] = {
    {300, B300},     {600, B600},     {1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

speed_t speed_of(int baud) {
    for (const BaudRate& rate : kBaudRates) {
        if (rate.baud == baud) return rate.speed;
    }
    throw std::invalid_argument("unsupported baud rate " + std::to_string(baud));
}

[[noreturn]] void throw_errno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

void set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) throw_errno("fcntl");
}

int poll_timeout(milliseconds timeout) {
    return static_cast<int>(std::clamp<milliseconds::rep>(timeout.count(), 0, 60'000));
}

milliseconds until(FrameReceiver::Clock::time_point deadline) {
    const auto now = FrameReceiver::Clock::now();
    if (deadline <= now) return milliseconds(0);
    return std::chrono::ceil<milliseconds>(deadline - now);
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int UniqueFd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

std::chrono::microseconds line_time(std::size_t chars, int baud) {
    if (baud <= 0) return std::chrono::microseconds::zero();
    return std::chrono::microseconds(static_cast<std::int64_t>(chars) * 10 * 1'000'000 / baud);
}

bool supported_baud(int baud) {
    return std::any_of(std::begin(kBaudRates), std::end(kBaudRates),
                       [baud](const BaudRate& rate) { return rate.baud == baud; });
}

void configure_raw(int fd, int baud) {
    const speed_t speed = speed_of(baud);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) throw_errno("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) throw_errno("cfsetspeed");
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) throw_errno("tcsetattr");
}

PtyPair open_pty_pair() {
    PtyPair pair;
    pair.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pair.master.valid()) throw_errno("posix_openpt");
    if (::grantpt(pair.master.get()) != 0) throw_errno("grantpt");
    if (::unlockpt(pair.master.get()) != 0) throw_errno("unlockpt");
    char path[128];
    if (::ptsname_r(pair.master.get(), path, sizeof path) != 0) throw_errno("ptsname");
    pair.slavePath = path;
    set_nonblocking(pair.master.get());
    pair.slave.reset(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!pair.slave.valid()) throw_errno("open pty slave");
    // Raw at once: a slave left in canonical mode would echo the line back to the master.
    configure_raw(pair.slave.get(), 9600);
    return pair;
}

SerialPort::SerialPort(std::string path, int baud) : path_(std::move(path)), baud_(baud) {
    speed_of(baud);
}

SerialPort::SerialPort(UniqueFd fd, int baud) : baud_(baud), fd_(std::move(fd)), opens_(1) {
    set_nonblocking(fd_.get());
    configure_raw(fd_.get(), baud_);
}

bool SerialPort::ensure_open() {
    if (fd_.valid()) return true;
    if (path_.empty()) {
        lastError_ = "line closed";
        return false;
    }
    UniqueFd fd(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        fail("open", errno);
        return false;
    }
    try {
        configure_raw(fd.get(), baud_);
    } catch (const std::system_error& e) {
        fail("configure", e.code().value());
        return false;
    }
    fd_ = std::move(fd);
    ++opens_;
    return true;
}

void SerialPort::fail(const char* what, int err) {
    lastError_ = (path_.empty() ? std::string("line") : path_) + ": " + what + ": " + std::strerror(err);
    // A device path comes back by reopening it; a handed-over descriptor is all there is.
    if (!path_.empty()) fd_.reset();
}

bool SerialPort::write_all(const char* data, std::size_t size, milliseconds timeout) {
    if (!ensure_open()) return false;
    const auto deadline = FrameReceiver::Clock::now() + timeout;
    while (size > 0) {
        const ssize_t n = ::write(fd_.get(), data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            fail("write", errno);
            return false;
        }
        pollfd p{fd_.get(), POLLOUT, 0};
        const int ready = ::poll(&p, 1, poll_timeout(until(deadline)));
        if (ready == 0) {
            lastError_ = "write timed out";
            return false;
        }
        if (ready < 0 && errno != EINTR) {
            fail("poll", errno);
            return false;
        }
        if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            fail("write", EIO);
            return false;
        }
    }
    return true;
}

long SerialPort::read_some(std::uint8_t* buffer, std::size_t size, milliseconds timeout) {
    if (!ensure_open()) return -1;
    pollfd p{fd_.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, poll_timeout(timeout));
    if (ready == 0 || (ready < 0 && errno == EINTR)) return 0;
    if (ready < 0) {
        fail("poll", errno);
        return -1;
    }
    if ((p.revents & POLLIN) == 0) {
        fail("read", EIO);  // hang-up or error without data
        return -1;
    }
    const ssize_t n = ::read(fd_.get(), buffer, size);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    fail("read", n == 0 ? EIO : errno);
    return -1;
}

void SerialPort::discard_input() {
    if (fd_.valid()) ::tcflush(fd_.get(), TCIFLUSH);
}

const DecodeResult* FrameReceiver::next(SerialPort& port, Clock::time_point deadline) {
    for (;;) {
        if (const DecodeResult* result = decode_pending()) return result;
        const long n = port.read_some(pending_.data(), pending_.size(), until(deadline));
        if (n > 0) {
            begin_ = 0;
            end_ = static_cast<std::size_t>(n);
            continue;
        }
        const milliseconds left = until(deadline);
        if (left.count() == 0) return nullptr;
        // A failed line is tried again shortly rather than in a tight loop.
        if (n < 0) std::this_thread::sleep_for(std::min(left, milliseconds(20)));
    }
}

const DecodeResult* FrameReceiver::decode_pending() {
    while (begin_ < end_) {
        begin_ += decoder_.feed(pending_.data() + begin_, end_ - begin_);
        if (decoder_.ready()) return &decoder_.result();
    }
    return nullptr;
}

void FrameReceiver::reset() {
    begin_ = end_ = 0;
    decoder_.reset();
}

SerialTransport::SerialTransport(std::string device, int baud) : port_(std::move(device), baud) {}

SerialTransport::SerialTransport(SerialPort port) : port_(std::move(port)) {}

void SerialTransport::send(const Request& request) {
    lastSendOk_ = false;
    if (!port_.ensure_open()) return;
    receiver_.reset();
    port_.discard_input();
    encode_frame(FrameHeader{request.ver, request.adr, request.cid1, request.cid2}, request.info.data(),
                 request.info.size(), frame_);
    lastSendOk_ = port_.write_all(frame_.data(), frame_.size(), milliseconds(1000));
}

std::vector<Received> SerialTransport::receive(milliseconds timeout) {
    std::vector<Received> received;
    const DecodeResult* result = receiver_.next(port_, FrameReceiver::Clock::now() + timeout);
    while (result != nullptr) {
        received.push_back(Received{result->error, result->headerRead, to_answer(result->frame)});
        result = receiver_.next(port_, FrameReceiver::Clock::now());
    }
    return received;
}

std::chrono::microseconds SerialTransport::rest_of_frame() const {
    return line_time(receiver_.awaited(), port_.baud());
}

}  // namespace site
