// What any socket, whatever a kernel reader made of its input, may become
// as a table row.
#pragma once

#include <cstring>
#include <vector>

#include "harness_check.h"
#include "mib/linux/socket_rows.h"

namespace connwalk::fuzz {

// The IPv4 address a row may show for `address` of an IPv6 socket: the
// last four bytes of an IPv4-mapped address, 0.0.0.0 for the unspecified
// address; any other address has no row.
inline bool RowAddressOf(const uint8_t (&address)[16], Ipv4Address *out) {
    static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    static constexpr uint8_t kZero[16] = {};
    if (std::memcmp(address, kMapped, sizeof kMapped) == 0) {
        std::memcpy(out->bytes, address + 12, 4);
        return true;
    }
    *out = Ipv4Address{};
    return std::memcmp(address, kZero, sizeof kZero) == 0;
}

inline void CheckAddress(const kernel::KernelSocket &socket, const uint8_t (&address)[16], const Ipv4Address &row) {
    Ipv4Address expected;
    if (socket.family == kernel::Family::Ipv4) {
        std::memcpy(expected.bytes, address, 4);
    } else {
        FUZZ_CHECK(RowAddressOf(address, &expected));
    }
    FUZZ_CHECK(row == expected);
}

inline bool SameSocket(const kernel::KernelSocket &a, const kernel::KernelSocket &b) {
    return a.family == b.family && a.state == b.state && a.localPort == b.localPort &&
           a.remotePort == b.remotePort && a.v6only == b.v6only &&
           std::memcmp(a.localAddress, b.localAddress, sizeof a.localAddress) == 0 &&
           std::memcmp(a.remoteAddress, b.remoteAddress, sizeof a.remoteAddress) == 0;
}

// Turns `socket` into rows under both system defaults and checks each.
inline void CheckRows(const kernel::KernelSocket &socket) {
    for (const bool v6onlyDefault : {false, true}) {
        std::vector<TcpEntry> tcp(1);
        kernel::AppendTcpRow(socket, v6onlyDefault, &tcp);
        FUZZ_CHECK(tcp.size() <= 2);
        FUZZ_CHECK(tcp[0] == TcpEntry{});
        if (tcp.size() == 2) {
            const TcpEntry &row = tcp[1];
            FUZZ_CHECK(row.state >= 1 && row.state <= 11);
            FUZZ_CHECK(row.state == kernel::MibTcpState(socket.state));
            FUZZ_CHECK(row.localPort == socket.localPort);
            FUZZ_CHECK(row.remotePort == socket.remotePort || row.remotePort == 0);
            CheckAddress(socket, socket.localAddress, row.localAddress);
            CheckAddress(socket, socket.remoteAddress, row.remoteAddress);
        }
        std::vector<UdpEntry> udp(1);
        kernel::AppendUdpRow(socket, v6onlyDefault, &udp);
        FUZZ_CHECK(udp.size() <= 2);
        FUZZ_CHECK(udp[0] == UdpEntry{});
        if (udp.size() == 2) {
            FUZZ_CHECK(udp[1].localPort != 0 && udp[1].localPort == socket.localPort);
            CheckAddress(socket, socket.localAddress, udp[1].localAddress);
        }
    }
}

}  // namespace connwalk::fuzz
