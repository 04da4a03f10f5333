#include "sim_farm.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>

#include "bench_site.h"
#include "sim/simulator.h"

namespace bench {
namespace {

void write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("cannot report the simulator lines");
        done += static_cast<std::size_t>(n);
    }
}

std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// The child: runs the simulators until the parent closes the control pipe (or ends).
[[noreturn]] void serve(std::size_t count, const sim::SimConfig& config, SimulatorFarm::Lines lines, int report,
                        int control) {
    int status = 0;
    try {
        std::vector<std::unique_ptr<sim::Simulator>> simulators;
        std::string ports;
        for (std::size_t i = 0; i < count; ++i) {
            sim::SimConfig own = config;
            own.seed = config.seed + static_cast<std::uint32_t>(i);
            simulators.push_back(std::make_unique<sim::Simulator>(own));
            ports += lines == SimulatorFarm::Lines::Tcp
                         ? "tcp://127.0.0.1:" + std::to_string(simulators.back()->start_tcp(0)) + "\n"
                         : simulators.back()->start_pty() + "\n";
        }
        write_all(report, ports);
        ::close(report);
        read_all(control);
        for (const auto& simulator : simulators) simulator->stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "simulators: %s\n", e.what());
        status = 1;
    }
    ::_exit(status);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

sim::SimConfig paced_simulator(std::uint32_t seed) {
    sim::SimConfig config;
    config.state = site_state();
    config.baud = 9600;
    config.seed = seed;
    return config;
}

SimulatorFarm::SimulatorFarm(std::size_t count, const sim::SimConfig& config, Lines lines) {
    int report[2];
    int control[2];
    if (::pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(control, O_CLOEXEC) != 0) {
        ::close(report[0]);
        ::close(report[1]);
        throw std::runtime_error("pipe failed");
    }
    std::fflush(nullptr);
    child_ = ::fork();
    if (child_ == 0) {
        ::close(report[0]);
        ::close(control[1]);
        serve(count, config, lines, report[1], control[0]);
    }
    ::close(report[1]);
    ::close(control[0]);
    control_ = control[1];
    if (child_ < 0) {
        ::close(report[0]);
        stop();
        throw std::runtime_error("fork failed");
    }
    ports_ = lines_of(read_all(report[0]));
    ::close(report[0]);
    if (ports_.size() != count) {
        stop();
        throw std::runtime_error("the simulators did not open their lines");
    }
}

SimulatorFarm::~SimulatorFarm() { stop(); }

void SimulatorFarm::stop() {
    if (control_ >= 0) ::close(control_);
    control_ = -1;
    if (child_ > 0) {
        int status = 0;
        while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    child_ = -1;
}

}  // namespace bench
