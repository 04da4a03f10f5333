#include "bench_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <system_error>

namespace bench {

// Writes through to a descriptor, a buffer at a time.
class QuietStdout::FdBuffer : public std::streambuf {
public:
    explicit FdBuffer(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
    ~FdBuffer() override { flush(); }
    FdBuffer(const FdBuffer&) = delete;
    FdBuffer& operator=(const FdBuffer&) = delete;

protected:
    int_type overflow(int_type c) override {
        if (!flush()) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) sputc(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    int sync() override { return flush() ? 0 : -1; }

private:
    bool flush() {
        const char* from = pbase();
        while (from < pptr()) {
            const ssize_t n = ::write(fd_, from, static_cast<std::size_t>(pptr() - from));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            from += n;
        }
        setp(buffer_, buffer_ + sizeof buffer_);
        return true;
    }

    int fd_;
    char buffer_[4096];
};

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

QuietStdout::QuietStdout() : saved_(-1), results_(nullptr) {
    std::cout.flush();
    std::fflush(stdout);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) fail("open /dev/null");
    saved_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    const bool redirected = saved_ >= 0 && ::dup2(null, STDOUT_FILENO) >= 0;
    ::close(null);
    if (!redirected) {
        if (saved_ >= 0) ::close(saved_);
        fail("standard output to /dev/null");
    }
    buffer_ = std::make_unique<FdBuffer>(saved_);
    results_.rdbuf(buffer_.get());
}

QuietStdout::~QuietStdout() {
    results_.flush();
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    results_.rdbuf(nullptr);
    buffer_.reset();
    ::close(saved_);
}

}  // namespace bench
