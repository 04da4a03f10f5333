#pragma once
// Lines as in the field, for simulated power systems: a multi-drop bus on one terminal, and a
// serial device server (socat) in front of a terminal.
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstdio>

#include "site_fixture.h"

extern char** environ;

namespace e2e {

// A two-wire bus with a device at each of its addresses: each request reaches them all, only
// the addressed one answers, as on a multi-drop RS-485 line.
class Bus {
public:
    using Device = std::pair<std::uint8_t, sim::Simulator*>;  // address, device

    explicit Bus(std::vector<Device> devices) : devices_(std::move(devices)) {
        line::PtyPair pair = line::open_pty_pair();
        path_ = pair.slavePath;
        keepOpen_ = std::move(pair.slave);
        line_ = line::SerialPort(std::move(pair.master), 9600);
        thread_ = std::thread([this] { run(); });
    }
    ~Bus() {
        stop_ = true;
        thread_.join();
    }
    const std::string& path() const { return path_; }
    // Another device takes the address from the next request on, as when a power system
    // restarts with another configuration.
    void replace(std::uint8_t address, sim::Simulator* device) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [at, present] : devices_)
            if (at == address) present = device;
    }

private:
    void run() {
        line::FrameReceiver receiver;
        while (!stop_) {
            const line::DecodeResult* request =
                receiver.next(line_, line::FrameReceiver::Clock::now() + std::chrono::milliseconds(20));
            if (request == nullptr || !request->ok()) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& [address, device] : devices_) {
                if (address != request->frame.header.adr) continue;
                const std::optional<sim::Reply> reply = device->respond(*request);
                if (reply) line_.write_all(reply->line.data(), reply->line.size(), std::chrono::milliseconds(1000));
            }
        }
    }

    std::mutex mutex_;  // guards devices_
    std::vector<Device> devices_;
    std::string path_;
    line::UniqueFd keepOpen_;
    line::SerialPort line_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// socat between a terminal and a TCP port on the loopback interface: a serial device server.
// Constructed once it takes connections.
class SerialServer {
public:
    SerialServer(const std::string& tty, std::uint16_t port) {
        // -t 0: the socat of a client that left lets go of the terminal at once, as a serial
        // server does, rather than taking the next client's first answer.
        std::vector<std::string> args = {"socat", "-t", "0",
                                         "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
                                         "FILE:" + tty + ",raw,echo=0"};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        EXPECT_EQ(::posix_spawnp(&pid_, "socat", nullptr, nullptr, argv.data(), environ), 0);
        EXPECT_TRUE(wait_until_listening(port)) << "socat does not listen on " << port;
    }
    ~SerialServer() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }

private:
    // Looks for the listening socket rather than connecting: each connection makes a socat of
    // its own, which would hold the terminal a while after the probe left and take what comes.
    static bool wait_until_listening(std::uint16_t port) {
        char local[32];
        std::snprintf(local, sizeof local, "0100007F:%04X", port);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            std::istringstream table(read_file("/proc/net/tcp"));
            for (std::string entry; std::getline(table, entry);) {
                std::istringstream fields(entry);
                std::string slot, address, remote, state;
                fields >> slot >> address >> remote >> state;
                if (address == local && state == "0A") return true;  // TCP_LISTEN
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    pid_t pid_ = -1;
};

}  // namespace e2e
