#include "line/tcp_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace line {

TcpListener::TcpListener(std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) throw std::system_error(errno, std::generic_category(), "socket");
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t size = sizeof address;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), size) != 0 || ::listen(fd.get(), 4) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::system_error(errno, std::generic_category(), "listen on 127.0.0.1:" + std::to_string(port));
    fd_ = std::move(fd);
    port_ = ntohs(address.sin_port);
}

SerialPort TcpListener::accept(std::chrono::milliseconds timeout) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return SerialPort();
    UniqueFd client(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client.valid()) return SerialPort();
    return SerialPort::adopt_socket(std::move(client));
}

}  // namespace line
