#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>

namespace connwalk::testing {

namespace {

[[noreturn]] void Fail(const std::string &what) {
    throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_in Ipv4(const char *address, uint16_t port) {
    sockaddr_in name{};
    name.sin_family = AF_INET;
    name.sin_port = htons(port);
    if (inet_pton(AF_INET, address, &name.sin_addr) != 1) {
        errno = EINVAL;
        Fail(std::string("bad address ") + address);
    }
    return name;
}

Socket BindOnce(int type, const char *address) {
    Socket socket(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (socket.fd < 0) Fail("socket");
    const sockaddr_in name = Ipv4(address, 0);
    if (bind(socket.fd, reinterpret_cast<const sockaddr *>(&name), sizeof name) != 0) {
        Fail(std::string("bind to ") + address);
    }
    return socket;
}


// A socket at a port the kernel picks. A TCP port is picked afresh while it
// is still the remote port of a connection that an earlier test closed and
// that waits out TIME_WAIT: a row of that connection would stand among the
// rows a test expects.
Socket BoundSocket(int type, const char *address) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        Socket socket = BindOnce(type, address);
        if (type != SOCK_STREAM || !PortsInKernelTables().contains(LocalPort(socket))) return socket;
    }
    errno = EADDRINUSE;
    Fail("no TCP port free of old connections");
}

void Listen(const Socket &socket) {
    if (listen(socket.fd, 16) != 0) Fail("listen");
}

}  // namespace

Socket &Socket::operator=(Socket &&other) noexcept {
    if (this != &other) {
        if (fd >= 0) close(fd);
        fd = other.fd;
        other.fd = -1;
    }
    return *this;
}

Socket::~Socket() {
    if (fd >= 0) close(fd);
}

uint16_t LocalPort(const Socket &socket) {
    sockaddr_storage name{};
    socklen_t length = sizeof name;
    if (getsockname(socket.fd, reinterpret_cast<sockaddr *>(&name), &length) != 0) {
        Fail("getsockname");
    }
    if (name.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&name)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in *>(&name)->sin_port);
}

Socket TcpListener(const char *address) {
    Socket socket = BoundSocket(SOCK_STREAM, address);
    Listen(socket);
    return socket;
}

Socket DualStackTcpListener() {
    Socket socket(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.fd < 0) return {};
    const int off = 0;
    if (setsockopt(socket.fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) return {};
    sockaddr_in6 name{};
    name.sin6_family = AF_INET6;
    name.sin6_addr = in6addr_any;
    if (bind(socket.fd, reinterpret_cast<const sockaddr *>(&name), sizeof name) != 0) return {};
    Listen(socket);
    return socket;
}

Socket UdpSocket(const char *address) { return BoundSocket(SOCK_DGRAM, address); }

LoopbackConnection ConnectOverLoopback(const Socket &listener) {
    LoopbackConnection connection;
    connection.client = BoundSocket(SOCK_STREAM, "127.0.0.1");
    const sockaddr_in peer = Ipv4("127.0.0.1", LocalPort(listener));
    if (connect(connection.client.fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0) {
        Fail("connect");
    }
    connection.server = Socket(accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC));
    if (connection.server.fd < 0) Fail("accept");
    connection.clientPort = LocalPort(connection.client);
    return connection;
}

uint16_t UnusedTcpPort() {
    const Socket probe = BoundSocket(SOCK_STREAM, "127.0.0.1");
    return LocalPort(probe);
}

std::set<uint16_t> PortsInKernelTables() {
    std::set<uint16_t> ports;
    for (const char *path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream table(path);
        std::string line;
        std::getline(table, line);  // column titles
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote;
            fields >> slot >> local >> remote;
            for (const std::string &endpoint : {local, remote}) {
                const size_t colon = endpoint.rfind(':');
                if (colon != std::string::npos) {
                    ports.insert(
                        static_cast<uint16_t>(std::stoul(endpoint.substr(colon + 1), nullptr, 16)));
                }
            }
        }
    }
    return ports;
}

}  // namespace connwalk::testing
