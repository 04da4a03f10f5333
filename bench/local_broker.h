#pragma once
#include <sys/types.h>

#include "host_run.h"

namespace bench {

// mosquitto on 127.0.0.1 and a free port, stopped with the object.
class Broker {
public:
    // Throws std::runtime_error when mosquitto cannot be started.
    explicit Broker(const ScratchFolder& folder);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;
    int port() const { return port_; }

private:
    int port_;
    pid_t pid_ = -1;
};

}  // namespace bench
