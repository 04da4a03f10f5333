#pragma once
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "sim/state.h"

namespace bench {

// Simulated power systems, each on a pseudo-terminal of its own, answering from a child
// process, so that the host's CPU time is the host's alone. Make it before this process
// starts any thread.
class SimulatorFarm {
public:
    enum class Lines { Pty, Tcp };

    // Blocks until every line is open. With Lines::Tcp each simulator serves on a port of its
    // own on 127.0.0.1, as a serial device server would, and ports() are tcp:// addresses.
    // Throws std::runtime_error.
    SimulatorFarm(std::size_t count, const sim::SimConfig& config, Lines lines = Lines::Pty);
    ~SimulatorFarm();
    SimulatorFarm(const SimulatorFarm&) = delete;
    SimulatorFarm& operator=(const SimulatorFarm&) = delete;

    // The line of each system, for the host to open.
    const std::vector<std::string>& ports() const { return ports_; }

private:
    void stop();

    pid_t child_ = -1;
    int control_ = -1;  // the child runs until this end is closed
    std::vector<std::string> ports_;
};

// The simulator of the benchmark site at 9600 baud, answers paced at ten bits per byte.
sim::SimConfig paced_simulator(std::uint32_t seed);

}  // namespace bench
