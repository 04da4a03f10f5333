#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

// A free TCP port on 127.0.0.1 (the kernel's choice, released before it is returned).
std::uint16_t free_loopback_port();
// Whether something accepts connections on 127.0.0.1:`port`.
bool accepts_connections(int port);

// `mosquitto` on 127.0.0.1 and a free port, without persistence: stopping it forgets every
// retained message. Its configuration and log go into `folder`; it stops with the object.
class LocalBroker {
public:
    // Starts it; throws std::runtime_error when mosquitto cannot be started.
    explicit LocalBroker(std::string folder);
    ~LocalBroker();
    LocalBroker(const LocalBroker&) = delete;
    LocalBroker& operator=(const LocalBroker&) = delete;

    int port() const { return port_; }
    void start();
    void stop();

private:
    std::string folder_;
    int port_;
    pid_t pid_ = -1;
};
