// Real sockets on the loopback interface, made by a test so that it knows
// exactly which rows the connection tables must show. Failures to set them
// up throw std::system_error, which fails the test that asked.
#pragma once

#include <cstdint>
#include <set>

namespace connwalk::testing {

// Owns a descriptor and closes it when it goes out of scope.
struct Socket {
    int fd = -1;

    Socket() = default;
    explicit Socket(int descriptor) : fd(descriptor) {}
    Socket(Socket &&other) noexcept : fd(other.fd) { other.fd = -1; }
    Socket &operator=(Socket &&other) noexcept;
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    ~Socket();
};

// The port a socket is bound to, in host order.
uint16_t LocalPort(const Socket &socket);

// A TCP listener on `address` (dotted quad) at a port the kernel picks.
Socket TcpListener(const char *address);

// A TCP listener on [::] that also takes IPv4 connections (IPV6_V6ONLY off).
// Empty (fd -1) when the machine has no IPv6.
Socket DualStackTcpListener();

// A UDP socket bound to `address` at a port the kernel picks.
Socket UdpSocket(const char *address);

// Both ends of a TCP connection from 127.0.0.1 to `port` on 127.0.0.1,
// established before this returns.
struct LoopbackConnection {
    Socket client;
    Socket server;
    uint16_t clientPort = 0;
};
LoopbackConnection ConnectOverLoopback(const Socket &listener);

// A TCP port that no row of the kernel's tables names, on either side: bound
// once to find it, then released without ever having been in a table.
//
// The TCP ports of all the sockets above are picked the same way, so that
// connections that earlier tests left in TIME_WAIT never share their rows.
uint16_t UnusedTcpPort();

// Every port that a row of the kernel's IPv4 or IPv6 TCP tables names, on
// either side.
std::set<uint16_t> PortsInKernelTables();

}  // namespace connwalk::testing
