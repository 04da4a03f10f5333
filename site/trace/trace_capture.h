#pragma once
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace site {

// Takes over standard output (descriptor 1 and C's stdout) so that what the plug-in prints
// there arrives line by line at `on_line`, on a thread of its own, instead of on the
// terminal. The console keeps writing to the real standard output meanwhile.
class TraceCapture {
public:
    // Throws std::runtime_error when the pipe cannot be made.
    explicit TraceCapture(std::function<void(const std::string&)> on_line);
    // Gives standard output back and hands on what is left in the pipe.
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

private:
    void read_lines();

    std::function<void(const std::string&)> onLine_;
    int readFd_ = -1;
    int savedOut_ = -1;
    std::FILE* realOut_ = nullptr;
    std::thread reader_;
};

}  // namespace site
