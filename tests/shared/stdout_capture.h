#pragma once
#include <string>
#include <thread>

// Collects what the process writes to standard output (file descriptor 1) while it lives: the
// units print their trace lines there with printf. A thread drains the pipe, so output larger
// than the pipe's buffer cannot block the test.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Ends the capture (standard output goes back where it was) and returns what was written.
    std::string finish();

private:
    int saved_ = -1;
    int readEnd_ = -1;
    std::string captured_;
    std::thread drain_;
};

// What running `action` prints on standard output.
template <class Action>
std::string printed_by(Action&& action) {
    StdoutCapture capture;
    action();
    return capture.finish();
}
