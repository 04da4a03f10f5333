#include "tests/shared/local_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

}  // namespace

std::uint16_t free_loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    ::close(fd);
    if (!bound) throw std::runtime_error("no free loopback port");
    return ntohs(address.sin_port);
}

bool accepts_connections(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

LocalBroker::LocalBroker(std::string folder) : folder_(std::move(folder)), port_(free_loopback_port()) {
    std::ofstream(folder_ + "/mosquitto.conf")
        << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
    start();
}

LocalBroker::~LocalBroker() { stop(); }

void LocalBroker::start() {
    const std::string binary = ::access("/usr/sbin/mosquitto", X_OK) == 0 ? "/usr/sbin/mosquitto" : "mosquitto";
    std::vector<std::string> args = {binary, "-c", folder_ + "/mosquitto.conf"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    // Its log goes to a file: standard error is for the test's or the figures' own words.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, (folder_ + "/mosquitto.log").c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    const int spawned = posix_spawnp(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start mosquitto (bash scripts/install-deps.sh --test installs it)");
    }
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!accepts_connections(port_)) {
        if (std::chrono::steady_clock::now() > giveUp)
            throw std::runtime_error("mosquitto did not start on port " + std::to_string(port_));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void LocalBroker::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}
