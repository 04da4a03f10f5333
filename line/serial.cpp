#include "line/serial.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace line {
namespace {

using std::chrono::milliseconds;

struct BaudRate {
    int baud;
    speed_t speed;
};

constexpr BaudRate kBaudRates[] = {
    {300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},     {4800, B4800},     {9600, B9600},
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

constexpr char kTcpScheme[] = "tcp://";
constexpr milliseconds kConnectTimeout(1000);
constexpr milliseconds kFirstBackOff(500);
constexpr milliseconds kLongestBackOff(30'000);
// A connection that lasted this long ends the back-off; a server that accepts and closes at
// once (its port busy with another client) is tried less and less often, like one that refuses.
constexpr std::chrono::seconds kSteadyConnection(60);

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

std::string format_text(const LineFormat& format) {
    const char parity = format.parity == Parity::Even ? 'E' : format.parity == Parity::Odd ? 'O' : 'N';
    return std::string("8") + parity + std::to_string(format.stopBits);
}

bool is_tcp_port(const std::string& port) { return port.rfind(kTcpScheme, 0) == 0; }

void configure_raw(int fd, int baud, const LineFormat& format) {
    const speed_t speed = speed_of(baud);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) throw_errno("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    if (format.parity != Parity::None) tio.c_cflag |= PARENB;
    if (format.parity == Parity::Odd) tio.c_cflag |= PARODD;
    if (format.stopBits == 2) tio.c_cflag |= CSTOPB;
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

SerialPort::SerialPort(std::string path, int baud, LineFormat format)
    : path_(std::move(path)), baud_(baud), format_(format), socket_(is_tcp_port(path_)) {
    if (!socket_) speed_of(baud);
}

SerialPort::SerialPort(UniqueFd fd, int baud) : baud_(baud), fd_(std::move(fd)), opens_(1) {
    set_nonblocking(fd_.get());
    configure_raw(fd_.get(), baud_);
}

SerialPort::~SerialPort() { close_fd(); }

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
    if (this == &other) return *this;
    close_fd();
    path_ = std::move(other.path_);
    baud_ = other.baud_;
    format_ = other.format_;
    socket_ = other.socket_;
    fd_ = std::move(other.fd_);
    opens_ = other.opens_;
    lastError_ = std::move(other.lastError_);
    inUse_ = other.inUse_;
    exclusive_ = std::exchange(other.exclusive_, false);
    retryAt_ = other.retryAt_;
    backOff_ = other.backOff_;
    connectedAt_ = other.connectedAt_;
    return *this;
}

SerialPort SerialPort::adopt_socket(UniqueFd fd) {
    SerialPort port;
    port.baud_ = 0;
    port.socket_ = true;
    port.fd_ = std::move(fd);
    port.opens_ = 1;
    set_nonblocking(port.fd_.get());
    return port;
}

bool SerialPort::ensure_open() {
    if (fd_.valid()) return true;
    if (path_.empty()) {
        lastError_ = "line closed";
        return false;
    }
    if (!(socket_ ? open_tcp() : open_device())) return false;
    ++opens_;
    return true;
}

// Another program on the same line would take our answers and we theirs: refuse to share.
bool SerialPort::open_device() {
    inUse_ = false;
    UniqueFd fd(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EBUSY || err == EWOULDBLOCK) {
            inUse_ = true;
            lastError_ = path_ + ": in use by another program";
            return false;
        }
        fail(fd.valid() ? "lock" : "open", err);
        return false;
    }
    try {
        configure_raw(fd.get(), baud_, format_);
    } catch (const std::system_error& e) {
        fail("configure", e.code().value());
        return false;
    }
    exclusive_ = ::ioctl(fd.get(), TIOCEXCL) == 0;
    fd_ = std::move(fd);
    return true;
}

bool SerialPort::open_tcp() {
    const auto now = std::chrono::steady_clock::now();
    if (now < retryAt_) return false;  // last_error() still tells why
    if (connectedAt_ != std::chrono::steady_clock::time_point{} && now - connectedAt_ >= kSteadyConnection)
        backOff_ = milliseconds(0);
    connectedAt_ = {};
    // A failed attempt waits longer each time, so a server that is away is not hammered.
    backOff_ = std::clamp(backOff_ * 2, kFirstBackOff, kLongestBackOff);
    retryAt_ = now + backOff_;
    const std::string address = path_.substr(sizeof kTcpScheme - 1);
    const auto colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
        lastError_ = path_ + ": not tcp://HOST:PORT";
        return false;
    }
    std::string host = address.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int looked = ::getaddrinfo(host.c_str(), address.c_str() + colon + 1, &hints, &found);
    if (looked != 0) {
        lastError_ = path_ + ": " + ::gai_strerror(looked);
        return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
    UniqueFd fd(::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        fail("socket", errno);
        return false;
    }
    if (::connect(fd.get(), found->ai_addr, found->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            fail("connect", errno);
            return false;
        }
        pollfd p{fd.get(), POLLOUT, 0};
        int err = 0;
        socklen_t size = sizeof err;
        if (::poll(&p, 1, poll_timeout(kConnectTimeout)) <= 0) {
            err = ETIMEDOUT;
        } else if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &size) != 0) {
            err = errno;
        }
        if (err != 0) {
            fail("connect", err);
            return false;
        }
    }
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fd_ = std::move(fd);
    connectedAt_ = now;
    // Made at the first try: when it ends, one more try comes at once.
    if (backOff_ == kFirstBackOff) retryAt_ = {};
    return true;
}

void SerialPort::close_fd() {
    // The exclusive mode outlives our descriptor while another end (a PTY's) keeps the
    // terminal open; lift it so the next program may open the port.
    if (exclusive_ && fd_.valid()) ::ioctl(fd_.get(), TIOCNXCL);
    exclusive_ = false;
    fd_.reset();
}

void SerialPort::fail(const char* what, int err) {
    lastError_ = (path_.empty() ? std::string("line") : path_) + ": " + what + ": " + std::strerror(err);
    // A device path or address comes back by reopening it; a handed-over terminal is all there is.
    if (!path_.empty() || socket_) close_fd();
}

bool SerialPort::write_all(const char* data, std::size_t size, milliseconds timeout) {
    if (!ensure_open()) return false;
    const auto deadline = FrameReceiver::Clock::now() + timeout;
    while (size > 0) {
        // A socket whose peer has gone must fail the write, not raise SIGPIPE.
        const ssize_t n = socket_ ? ::send(fd_.get(), data, size, MSG_NOSIGNAL) : ::write(fd_.get(), data, size);
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
    if (n == 0 && socket_) {
        fail("read", ECONNRESET);  // the server closed the connection
    } else {
        fail("read", n == 0 ? EIO : errno);
    }
    return -1;
}

std::size_t SerialPort::discard_input() {
    std::size_t dropped = 0;
    std::uint8_t buffer[256];
    while (fd_.valid()) {
        const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
        if (n > 0) {
            dropped += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 && socket_) {
            fail("read", ECONNRESET);  // the server closed the connection
        } else {
            break;  // nothing more now; a failure shows at the next read
        }
    }
    return dropped;
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

std::size_t FrameReceiver::reset() {
    const std::size_t unread = end_ - begin_;
    begin_ = end_ = 0;
    decoder_.reset();
    return unread;
}

SerialTransport::SerialTransport(std::string device, int baud, LineFormat format)
    : port_(std::move(device), baud, format) {}

SerialTransport::SerialTransport(SerialPort port) : port_(std::move(port)) {}

void SerialTransport::send(const Request& request) {
    lastSendOk_ = false;
    if (!port_.ensure_open()) return;
    discardedBySend_ += discard_input();
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

std::size_t SerialTransport::discard_input() { return receiver_.reset() + port_.discard_input(); }

std::chrono::microseconds SerialTransport::rest_of_frame() const {
    // Over TCP a frame arrives as the server forwards it, not at the line's pace.
    if (port_.is_socket()) return std::chrono::microseconds::zero();
    return line_time(receiver_.awaited(), port_.baud());
}

}  // namespace line
