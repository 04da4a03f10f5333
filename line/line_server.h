#pragma once
#include <string>

namespace line {

// Something that answers requests on a line of its own, such as a simulated power system:
// the host polls it through the pseudo-terminal it serves, like any serial device.
class LineServer {
public:
    virtual ~LineServer() = default;
    // Opens a pseudo-terminal, answers on it and returns the path of the host's end; with
    // `link`, that path is a symbolic link to it.
    virtual std::string start_pty(const std::string& link = std::string()) = 0;
};

}  // namespace line
