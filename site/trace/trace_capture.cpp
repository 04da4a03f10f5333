#include "site/trace/trace_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "site/trace/console.h"

namespace site {

TraceCapture::TraceCapture(std::function<void(const std::string&)> on_line) : onLine_(std::move(on_line)) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("cannot create the pipe for the plug-in's output");
    std::fflush(stdout);
    savedOut_ = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    realOut_ = savedOut_ >= 0 ? ::fdopen(savedOut_, "w") : nullptr;
    if (realOut_ == nullptr || ::dup2(fds[1], 1) < 0) {
        if (savedOut_ >= 0) ::close(savedOut_);
        ::close(fds[0]);
        ::close(fds[1]);
        throw std::runtime_error("cannot take over standard output");
    }
    ::close(fds[1]);
    readFd_ = fds[0];
    // A pipe would make stdout block-buffered: each trace line should arrive as printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    set_console_output(realOut_);
    reader_ = std::thread([this] { read_lines(); });
}

TraceCapture::~TraceCapture() {
    std::fflush(stdout);
    set_console_output(nullptr);
    // The pipe's last writer is descriptor 1: putting the real output back ends the reader.
    ::dup2(savedOut_, 1);
    reader_.join();
    ::close(readFd_);
    std::fclose(realOut_);
}

void TraceCapture::read_lines() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(readFd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
            onLine_(pending.substr(start, end - start));
        pending.erase(0, start);
    }
    if (!pending.empty()) onLine_(pending);
}

}  // namespace site
