#include "tests/shared/stdout_capture.h"

#include <cstdio>
#include <iostream>
#include <stdexcept>

#include <unistd.h>

namespace {

void flush_stdout() {
    std::cout.flush();
    std::fflush(stdout);
}

}  // namespace

StdoutCapture::StdoutCapture() {
    int ends[2];
    flush_stdout();
    if (pipe(ends) != 0) throw std::runtime_error("stdout capture: pipe failed");
    saved_ = dup(STDOUT_FILENO);
    if (saved_ < 0 || dup2(ends[1], STDOUT_FILENO) < 0) throw std::runtime_error("stdout capture: dup failed");
    close(ends[1]);
    readEnd_ = ends[0];
    drain_ = std::thread([this] {
        char chunk[4096];
        ssize_t got;
        while ((got = read(readEnd_, chunk, sizeof chunk)) > 0) captured_.append(chunk, static_cast<std::size_t>(got));
    });
}

StdoutCapture::~StdoutCapture() { finish(); }

std::string StdoutCapture::finish() {
    if (saved_ < 0) return captured_;
    flush_stdout();
    dup2(saved_, STDOUT_FILENO);  // closes the pipe's last write end: the drain sees its end
    close(saved_);
    saved_ = -1;
    drain_.join();
    close(readEnd_);
    return captured_;
}
