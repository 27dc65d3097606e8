// Sockets as the kernel describes them, and the table rows they become.
//
// Both kernel readers (sock_diag and /proc/net) reduce what they read to a
// KernelSocket; the rules that turn one into a tcpConnTable or udpTable row
// live here once, so that both readers give the same rows.
#pragma once

#include <cstdint>
#include <vector>

#include "mib/entry.h"

namespace connwalk::kernel {

enum class Family : uint8_t { Ipv4, Ipv6 };

// Whether an IPv6 socket refuses IPv4 traffic (IPV6_V6ONLY). The kernel
// says so only for some sockets; the others follow the system default.
enum class V6Only : uint8_t { Unknown, No, Yes };

struct KernelSocket {
    Family family = Family::Ipv4;
    uint8_t state = 0;  // the kernel's TCP state (TCP_ESTABLISHED = 1 ...)
    // An IPv4 address is in the first 4 bytes, network order.
    uint8_t localAddress[16] = {};
    uint8_t remoteAddress[16] = {};
    uint16_t localPort = 0;  // host order
    uint16_t remotePort = 0;
    V6Only v6only = V6Only::Unknown;
};

// The tcpConnState code of a kernel TCP state, or 0 for a state that has no
// row (bound sockets that neither listen nor connect, unknown states).
// Closing is 9 and last ACK 10, as the walk's callers read them.
int32_t MibTcpState(uint8_t kernelState);

// Appends the row that `socket` stands for, if any: an IPv4 socket as it is;
// an IPv6 socket whose addresses are IPv4-mapped as those IPv4 addresses; an
// IPv6 socket on the unspecified address that also takes IPv4 traffic as a
// row on 0.0.0.0. Other IPv6 sockets have no IPv4 row. `v6onlyDefault` is the
// system default for sockets whose V6Only is Unknown.
void AppendTcpRow(const KernelSocket &socket, bool v6onlyDefault, std::vector<TcpEntry> *rows);

// The same for udpTable; sockets not bound to a port have no row.
void AppendUdpRow(const KernelSocket &socket, bool v6onlyDefault, std::vector<UdpEntry> *rows);

}  // namespace connwalk::kernel
