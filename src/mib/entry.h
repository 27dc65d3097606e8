// The rows of the two tables, as the walk delivers them.
#pragma once

#include <cstdint>

namespace connwalk {

// Four bytes in network order, first byte first: 127.0.0.1 is {127, 0, 0, 1}.
struct Ipv4Address {
    uint8_t bytes[4] = {0, 0, 0, 0};
    friend bool operator==(const Ipv4Address &, const Ipv4Address &) = default;
};

// One row of tcpConnTable. Ports are in host order; the state is the MIB-II
// code (1 closed ... 9 closing, 10 last ACK, 11 time wait).
struct TcpEntry {
    int32_t state = 0;
    Ipv4Address localAddress;
    int32_t localPort = 0;
    Ipv4Address remoteAddress;
    int32_t remotePort = 0;
    friend bool operator==(const TcpEntry &, const TcpEntry &) = default;
};

// One row of udpTable.
struct UdpEntry {
    Ipv4Address localAddress;
    int32_t localPort = 0;
    friend bool operator==(const UdpEntry &, const UdpEntry &) = default;
};

}  // namespace connwalk
