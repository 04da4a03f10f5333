#include "site/trace/trace_file.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "site/trace/console.h"

namespace site {
namespace {

std::atomic<unsigned> g_reopenRequests{0};

constexpr auto kIdleWake = std::chrono::milliseconds(200);
constexpr auto kRetry = std::chrono::seconds(1);
constexpr auto kGrace = std::chrono::seconds(1);
// Lines are gathered into writes of about this many bytes.
constexpr std::size_t kChunk = 64 * 1024;

// Non-blocking, so that a FIFO without a reader fails at once (ENXIO) and a full FIFO says
// EAGAIN instead of holding the writer.
int open_for_append(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
}

std::string error_text(int error) {
    if (error == ENXIO) return "nobody reads the FIFO";
    return std::system_category().message(error);
}

}  // namespace

void reopen_trace_files() noexcept { g_reopenRequests.fetch_add(1, std::memory_order_relaxed); }

TraceFile::TraceFile(std::string path, std::size_t capacity, std::string (*dropped_line)(std::uint64_t))
    : path_(std::move(path)), capacity_(capacity), droppedLine_(dropped_line) {
    reopenSeen_ = g_reopenRequests.load(std::memory_order_relaxed);
    fd_ = open_for_append(path_);
    if (fd_ < 0 && errno != ENXIO) throw std::runtime_error(path_ + ": cannot be written: " + error_text(errno));
    thread_ = std::thread([this] {
        // A FIFO whose reader left then fails the write with EPIPE instead of killing the
        // process, whatever the program does with SIGPIPE.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        run();
    });
}

TraceFile::~TraceFile() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        giveUpAt_ = std::chrono::steady_clock::now() + kGrace;
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    close_file();
    const auto unwritten =
        static_cast<std::uint64_t>(queue_.size() + std::count(pending_.begin(), pending_.end(), '\n'));
    if (unwritten + unreported_ != 0)
        console(Level::Warn, "event trace " + path_ + ": " + std::to_string(unwritten + unreported_) +
                                 " events not written at stop");
}

bool TraceFile::append(std::string line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= capacity_) {
            ++dropped_;
            ++unreported_;
            return false;
        }
        queue_.push_back(std::move(line));
    }
    wake_.notify_one();
    return true;
}

std::uint64_t TraceFile::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void TraceFile::run() {
    for (;;) {
        if (g_reopenRequests.load(std::memory_order_relaxed) != reopenSeen_) {
            reopenSeen_ = g_reopenRequests.load(std::memory_order_relaxed);
            close_file();
        }
        if (!take_lines()) return;
        if (pending_.empty() || write_pending()) continue;
        if (stopping_) return;
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, kRetry, [this] { return stopping_.load(); });
    }
}

bool TraceFile::take_lines() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (pending_.empty() && queue_.empty()) {
        wake_.wait_for(lock, kIdleWake, [this] { return stopping_ || !queue_.empty() || unreported_ > 0; });
    }
    while (!queue_.empty() && pending_.size() < kChunk) {
        pending_ += queue_.front();
        pending_ += '\n';
        queue_.pop_front();
    }
    if (pending_.empty() && queue_.empty() && unreported_ > 0) {
        const std::uint64_t count = unreported_;
        unreported_ = 0;
        pending_ = droppedLine_(count) + '\n';
        lock.unlock();
        console(Level::Warn,
                "event trace " + path_ + ": " + std::to_string(count) + " events dropped while its reader was behind");
        return true;
    }
    return !(pending_.empty() && stopping_);
}

bool TraceFile::write_pending() {
    while (!pending_.empty()) {
        if (!ensure_open()) return false;
        const ssize_t n = ::write(fd_, pending_.data() + torn_, pending_.size() - torn_);
        if (n > 0) {
            if (keep_whole_lines(static_cast<std::size_t>(n))) report_working();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A full FIFO: wait for room, but never past the end of the grace at stop.
            if (giving_up()) return false;
            pollfd fd{fd_, POLLOUT, 0};
            (void)::poll(&fd, 1, static_cast<int>(kIdleWake.count()));
            continue;
        }
        const int error = n < 0 ? errno : EIO;
        take_back_torn_line();
        report_failure("write failed: " + error_text(error));
        // A FIFO whose reader left takes a new reader only when opened again.
        if (error == EPIPE) close_file();
        return false;
    }
    return true;
}

bool TraceFile::keep_whole_lines(std::size_t written) {
    torn_ += written;
    const std::size_t end = pending_.rfind('\n', torn_ - 1);
    if (end == std::string::npos) return false;
    pending_.erase(0, end + 1);
    torn_ -= end + 1;
    return true;
}

// The file ends in whole lines: part of a line written before the disk filled up is cut off
// again and written whole later. A FIFO's reader has it already and cannot be helped.
void TraceFile::take_back_torn_line() {
    struct stat info {};
    if (torn_ == 0 || ::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return;
    if (info.st_size >= static_cast<off_t>(torn_) && ::ftruncate(fd_, info.st_size - static_cast<off_t>(torn_)) == 0)
        torn_ = 0;
}

bool TraceFile::ensure_open() {
    if (fd_ >= 0) return true;
    fd_ = open_for_append(path_);
    if (fd_ >= 0) return true;
    report_failure("cannot be opened: " + error_text(errno));
    return false;
}

void TraceFile::close_file() {
    take_back_torn_line();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TraceFile::report_failure(const std::string& what) {
    if (what == failure_) return;
    failure_ = what;
    console(Level::Warn, "event trace " + path_ + ": " + what + "; trying again every second");
}

void TraceFile::report_working() {
    if (failure_.empty()) return;
    failure_.clear();
    console(Level::Info, "event trace " + path_ + ": writing again");
}

bool TraceFile::giving_up() const {
    if (!stopping_) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return std::chrono::steady_clock::now() >= giveUpAt_;
}

}  // namespace site
