#pragma once
#include <memory>
#include <ostream>
#include <streambuf>

namespace bench {

// The plug-in writes trace lines to standard output (one per AC input channel and DC block
// of every round). While this object lives, descriptor 1 goes to /dev/null and the figures
// go to results(), which writes to what standard output was before.
class QuietStdout {
public:
    QuietStdout();  // throws std::system_error
    ~QuietStdout();
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

    std::ostream& results() { return results_; }

private:
    class FdBuffer;

    int saved_;
    std::unique_ptr<FdBuffer> buffer_;
    std::ostream results_;
};

}  // namespace bench
