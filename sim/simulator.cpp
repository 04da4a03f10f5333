#include "sim/simulator.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace sim {
namespace {

using std::chrono::milliseconds;

constexpr std::uint8_t kRtnChecksumError = 0x02;
constexpr std::uint8_t kRtnLengthChecksumError = 0x03;
constexpr std::uint8_t kRtnInvalidCommand = 0x04;
constexpr std::uint8_t kRtnAddressError = 0x90;
constexpr milliseconds kWriteTimeout(1000);
constexpr const char kHexDigits[] = "0123456789ABCDEF";

// Another group of the same system, so a wrong CID1 looks plausible on the line.
std::uint8_t other_group(std::uint8_t cid1) {
    if (cid1 == 0x40 || cid1 == 0x41) return static_cast<std::uint8_t>(cid1 + 1);
    return 0x40;
}

std::uint8_t hex_digit_value(char c) { return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'A' + 10); }

// INFO byte 1, the unit count, one too high.
void raise_unit_count(std::string& info) {
    const auto count = static_cast<std::uint8_t>(hex_digit_value(info[2]) << 4 | hex_digit_value(info[3]));
    std::string bumped;
    line::append_hex(bumped, static_cast<std::uint8_t>(count + 1));
    info.replace(2, 2, bumped);
}

// The last CHKSUM digit changed, so the frame fails its check.
void corrupt_checksum(std::string& frame) {
    char& digit = frame[frame.size() - 2];
    digit = kHexDigits[(hex_digit_value(digit) + 1) % 16];
}

std::string describe(const line::DecodeResult& request) {
    if (!request.ok()) return std::string("refused: ") + line::to_string(request.error);
    const line::FrameHeader& h = request.frame.header;
    std::string text;
    line::append_hex(text, h.cid1);
    text += '/';
    line::append_hex(text, h.code);
    text += " ADR ";
    line::append_hex(text, h.adr);
    text += " INFO ";
    for (const std::uint8_t b : request.frame.info) line::append_hex(text, b);
    return text;
}

// Points `link` at `target` in one step, so the host never sees a link half made.
void point_link(const std::string& link, const std::string& target) {
    const std::string fresh = link + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(target.c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), link.c_str()) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot point " + link + " at " + target);
}

std::size_t frame_bytes(const line::DecodeResult& request) {
    return 1 + line::kHeaderChars + 2 * request.frame.info.size() + line::kChecksumChars + 1;
}

}  // namespace

Simulator::Simulator(SimConfig config)
    : model_(std::move(config.state), config.dataFlag, config.fixedDataFlag, config.drift, config.driftPeriod),
      faults_(config.faults),
      rng_(config.seed != 0 ? config.seed : std::random_device{}()),
      address_(config.address),
      baud_(config.baud) {}

Simulator::~Simulator() { stop(); }

void Simulator::start(line::SerialPort port) {
    if (thread_.joinable()) throw std::logic_error("simulator already running");
    port_ = std::move(port);
    launch();
}

std::string Simulator::start_pty(const std::string& link) {
    if (thread_.joinable()) throw std::logic_error("simulator already running");
    link_ = link;
    const std::string slave = open_pty_line();
    launch();
    return link.empty() ? slave : link;
}

std::uint16_t Simulator::start_tcp(std::uint16_t port) {
    if (thread_.joinable()) throw std::logic_error("simulator already running");
    listen_ = line::TcpListener(port);
    port_ = line::SerialPort();
    launch();
    return listen_.port();
}

bool Simulator::accept_client() {
    if (!port_.is_open()) port_ = listen_.accept(milliseconds(50));
    return port_.is_open();
}

std::string Simulator::echo_of(const line::DecodeResult& request) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_.echo && request.ok() ? line::encode(request.frame) : std::string();
}

void Simulator::launch() {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopping_ = false;
    }
    thread_ = std::thread(&Simulator::run, this);
}

void Simulator::stop() {
    stop_thread();
    close_line();
}

void Simulator::hang_up() {
    if (link_.empty()) throw std::logic_error("only a line behind a link can hang up");
    stop();
}

void Simulator::come_back() {
    if (link_.empty()) throw std::logic_error("only a line behind a link can come back");
    if (thread_.joinable()) throw std::logic_error("the line is up");
    open_pty_line();
    launch();
}

void Simulator::stop_thread() {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopping_ = true;
    }
    stopWake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::string Simulator::open_pty_line() {
    line::PtyPair pair = line::open_pty_pair();
    keepOpen_ = std::move(pair.slave);
    port_ = line::SerialPort(std::move(pair.master), 9600);
    if (!link_.empty()) point_link(link_, pair.slavePath);
    return pair.slavePath;
}

void Simulator::close_line() {
    if (!link_.empty()) ::unlink(link_.c_str());
    port_ = line::SerialPort();
    keepOpen_.reset();
    listen_.reset();
}

bool Simulator::stay_away(std::chrono::milliseconds away) {
    close_line();
    if (!pause_until(Clock::now() + away)) return false;
    try {
        open_pty_line();
    } catch (const std::exception& e) {
        trace(std::string("line cannot come back: ") + e.what());
        return false;
    }
    return true;
}

SiteState Simulator::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.state();
}

void Simulator::set_faults(const Faults& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
}

SimStats Simulator::stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

void Simulator::set_trace(std::function<void(const std::string&)> trace) {
    std::lock_guard<std::mutex> lock(mutex_);
    trace_ = std::move(trace);
}

std::optional<Reply> Simulator::respond(const line::DecodeResult& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stats_.requests;
    if (!request.ok()) return reply_to_refused(request);
    const line::FrameHeader& h = request.frame.header;
    if (h.adr != address_) {
        ++stats_.otherAddress;
        return with_faults({h.ver, h.adr, h.cid1, kRtnAddressError}, std::string(), false);
    }
    const std::uint16_t command = static_cast<std::uint16_t>(h.cid1 << 8 | h.code);
    // Older firmware: a command it never answers, or always answers with an error code.
    if (faults_.neverAnswer == command) {
        ++stats_.unanswered;
        return std::nullopt;
    }
    if (faults_.rtnCommand == command) {
        ++stats_.errorAnswers;
        return with_faults({h.ver, h.adr, h.cid1, faults_.rtn}, std::string(), false);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - started_).count();
    std::optional<std::string> info = answer(h.cid1, h.code, elapsed);
    if (!info) {
        ++stats_.unknown;
        return with_faults({h.ver, h.adr, h.cid1, kRtnInvalidCommand}, std::string(), false);
    }
    // A well-formed frame the host hands over, with an INFO the driver cannot use.
    if (faults_.refuse == command) {
        ++stats_.refusable;
        info->clear();
    }
    return with_faults({h.ver, h.adr, h.cid1, 0x00}, std::move(*info), DeviceModel::carries_unit_count(h.cid1, h.code));
}

std::optional<Reply> Simulator::reply_to_refused(const line::DecodeResult& request) {
    ++stats_.refused;
    const line::FrameHeader& h = request.frame.header;
    if (!request.headerRead || h.adr != address_) return std::nullopt;
    if (request.error == line::FrameError::BadChecksum) {
        return with_faults({h.ver, h.adr, h.cid1, kRtnChecksumError}, std::string(), false);
    }
    if (request.error == line::FrameError::BadLengthChecksum) {
        return with_faults({h.ver, h.adr, h.cid1, kRtnLengthChecksumError}, std::string(), false);
    }
    return std::nullopt;
}

std::optional<std::string> Simulator::answer(std::uint8_t cid1, std::uint8_t cid2, double elapsed) {
    const Overcount* overcount = chance(faults_.overcount) ? pick_overcount(cid1, cid2) : nullptr;
    if (overcount == nullptr) return model_.answer(cid1, cid2, elapsed);
    // Built from a changed copy of the state; the system itself stays as it is.
    const SiteState kept = model_.state();
    const bool applied = overcount->apply(model_.state());
    std::optional<std::string> info = model_.answer(cid1, cid2, elapsed);
    model_.state() = kept;
    if (applied) ++stats_.overcounted;
    return info;
}

const Overcount* Simulator::pick_overcount(std::uint8_t cid1, std::uint8_t cid2) {
    std::vector<const Overcount*> fitting;
    for (const Overcount& overcount : overcounts()) {
        if (overcount.cid1 != cid1 || overcount.cid2 != cid2) continue;
        if (faults_.overcountKind.empty() || faults_.overcountKind == overcount.name) fitting.push_back(&overcount);
    }
    if (fitting.empty()) return nullptr;
    return fitting[std::uniform_int_distribution<std::size_t>(0, fitting.size() - 1)(rng_)];
}

bool Simulator::chance(double share) {
    return share > 0 && std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < share;
}

std::optional<Reply> Simulator::with_faults(line::FrameHeader header, std::string info, bool countsUnits) {
    if (chance(faults_.drop)) {
        ++stats_.dropped;
        return std::nullopt;
    }
    if (!link_.empty() && chance(faults_.hangUp)) {
        ++stats_.hangUps;
        Reply away;
        away.hangUp = true;
        away.delay = faults_.away;
        return away;
    }
    if (countsUnits && chance(faults_.wrongCount)) {
        raise_unit_count(info);
        ++stats_.wrongCount;
    }
    if (chance(faults_.wrongCid1)) {
        header.cid1 = other_group(header.cid1);
        ++stats_.wrongCid1;
    }
    if (!info.empty() && chance(faults_.truncate)) {
        const std::size_t bytes = info.size() / 2;
        info.resize(2 * std::uniform_int_distribution<std::size_t>(0, bytes - 1)(rng_));
        ++stats_.truncated;
    }
    Reply reply;
    std::uniform_int_distribution<int> noiseByte(0, 255);
    while (reply.line.size() < faults_.noise) {
        const char c = static_cast<char>(noiseByte(rng_));
        if (c != line::kSoi && c != line::kEoi) reply.line += c;
    }
    std::string frame;
    line::encode_frame_text(header, info, frame);
    if (chance(faults_.corrupt)) {
        corrupt_checksum(frame);
        ++stats_.corrupted;
    }
    reply.line += frame;
    const bool late = faults_.lateEvery > 0 && (stats_.answers + 1) % faults_.lateEvery == 0;
    if (late || chance(faults_.slow)) {
        reply.delay = faults_.delay;
        ++stats_.slowed;
    }
    ++stats_.answers;
    return reply;
}

void Simulator::trace(const std::string& line) {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sink = trace_;
    }
    if (sink) sink(line);
}

void Simulator::run() {
    line::FrameReceiver receiver;
    while (pause_until(Clock::now())) {
        if (listen_.valid() && !port_.is_open()) {
            receiver.reset();
            if (!accept_client()) continue;
        }
        const line::DecodeResult* request = receiver.next(port_, Clock::now() + milliseconds(50));
        if (request == nullptr) continue;
        const auto arrived = Clock::now();
        const std::size_t requestBytes = frame_bytes(*request);
        trace("<- " + describe(*request));
        const std::string echo = echo_of(*request);
        if (!echo.empty()) port_.write_all(echo.data(), echo.size(), kWriteTimeout);
        const std::optional<Reply> reply = respond(*request);
        if (!reply) {
            trace("-> (silent)");
            continue;
        }
        if (reply->hangUp) {
            trace("-> (hangs up)");
            if (!stay_away(reply->delay)) break;
            receiver.reset();
            continue;
        }
        // The line is half-duplex: the answer follows the request's own time on the line.
        if (!pause_until(arrived + line::line_time(requestBytes, baud_) + reply->delay)) break;
        trace("-> " + line::printable(reply->line));
        send_paced(reply->line);
    }
}

bool Simulator::pause_until(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(stopMutex_);
    return !stopWake_.wait_until(lock, until, [this] { return stopping_; });
}

void Simulator::send_paced(const std::string& line) {
    if (baud_ <= 0) {
        port_.write_all(line.data(), line.size(), kWriteTimeout);
        return;
    }
    // Small pieces, each handed over when the line would have carried its last character, so
    // the answer arrives no sooner than a real line would deliver it.
    const std::size_t piece = std::max<std::size_t>(1, static_cast<std::size_t>(baud_) / 2000);
    const auto start = Clock::now();
    for (std::size_t sent = 0; sent < line.size();) {
        const std::size_t n = std::min(piece, line.size() - sent);
        if (!pause_until(start + line::line_time(sent + n, baud_))) return;
        if (!port_.write_all(line.data() + sent, n, kWriteTimeout)) return;
        sent += n;
    }
}

}  // namespace sim
