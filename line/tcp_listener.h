#pragma once
#include <chrono>
#include <cstdint>

#include "line/serial.h"

namespace line {

// The listening end of a serial device server on 127.0.0.1: clients are taken one at a time,
// each connection becoming a port of its own.
class TcpListener {
public:
    TcpListener() = default;
    // Listens on 127.0.0.1:`port` (0: a free port). Throws std::system_error.
    explicit TcpListener(std::uint16_t port);

    bool valid() const { return fd_.valid(); }
    // The port it listens on.
    std::uint16_t port() const { return port_; }
    // Waits up to `timeout` for the next client; its connection, or a closed port when none came.
    SerialPort accept(std::chrono::milliseconds timeout);
    // Stops listening.
    void reset() { fd_.reset(); }

private:
    UniqueFd fd_;
    std::uint16_t port_ = 0;
};

}  // namespace line
