#include "mib/linux/socket_rows.h"

#include <cstring>
#include <iterator>

namespace connwalk::kernel {

namespace {

enum class V6Kind { Mapped, Unspecified, Other };

V6Kind KindOf(const uint8_t (&address)[16]) {
    static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    static constexpr uint8_t kZero[16] = {};
    if (std::memcmp(address, kMappedPrefix, sizeof kMappedPrefix) == 0) {
        return V6Kind::Mapped;
    }
    if (std::memcmp(address, kZero, sizeof kZero) == 0) {
        return V6Kind::Unspecified;
    }
    return V6Kind::Other;
}

Ipv4Address FirstFour(const uint8_t *bytes) {
    Ipv4Address address;
    std::memcpy(address.bytes, bytes, 4);
    return address;
}

bool TakesIpv4(const KernelSocket &socket, bool v6onlyDefault) {
    switch (socket.v6only) {
        case V6Only::Yes:
            return false;
        case V6Only::No:
            return true;
        case V6Only::Unknown:
            break;
    }
    return !v6onlyDefault;
}

// The IPv4 address an IPv6 socket's address stands for; the unspecified
// address stands for 0.0.0.0 only on a socket that takes IPv4 traffic.
bool Ipv4Of(const uint8_t (&address)[16], bool takesIpv4, Ipv4Address *out) {
    switch (KindOf(address)) {
        case V6Kind::Mapped:
            *out = FirstFour(address + 12);
            return true;
        case V6Kind::Unspecified:
            *out = Ipv4Address{};
            return takesIpv4;
        case V6Kind::Other:
            break;
    }
    return false;
}

}  // namespace

int32_t MibTcpState(uint8_t kernelState) {
    // Indexed by the kernel's state: TCP_ESTABLISHED (1) ... TCP_NEW_SYN_RECV
    // (12), the request sockets of a listener, which are half-open
    // connections like SYN_RECV.
    static constexpr int32_t kCodes[] = {
        0,   // none
        5,   // ESTABLISHED
        3,   // SYN_SENT
        4,   // SYN_RECV
        6,   // FIN_WAIT1
        7,   // FIN_WAIT2
        11,  // TIME_WAIT
        1,   // CLOSE
        8,   // CLOSE_WAIT
        10,  // LAST_ACK
        2,   // LISTEN
        9,   // CLOSING
        4,   // NEW_SYN_RECV
    };
    return kernelState < std::size(kCodes) ? kCodes[kernelState] : 0;
}

void AppendTcpRow(const KernelSocket &socket, bool v6onlyDefault, std::vector<TcpEntry> *rows) {
    TcpEntry row;
    row.state = MibTcpState(socket.state);
    // A connection that a reset has just closed may still be listed for a
    // moment after it gave back its local port; with no port it is no
    // endpoint of anything.
    if (row.state == 0 || socket.localPort == 0) {
        return;
    }
    row.localPort = socket.localPort;
    row.remotePort = socket.remotePort;
    if (socket.family == Family::Ipv4) {
        row.localAddress = FirstFour(socket.localAddress);
        row.remoteAddress = FirstFour(socket.remoteAddress);
    } else {
        // A socket on [::] that takes IPv4 traffic listens on 0.0.0.0 too;
        // its remote side is then unspecified as well. A connected socket
        // carries IPv4 traffic only with IPv4-mapped addresses on both sides.
        const bool takesIpv4 = TakesIpv4(socket, v6onlyDefault);
        const bool remoteUnspecified = KindOf(socket.remoteAddress) == V6Kind::Unspecified;
        if (!Ipv4Of(socket.localAddress, takesIpv4, &row.localAddress) ||
            !Ipv4Of(socket.remoteAddress, true, &row.remoteAddress)) {
            return;
        }
        if (KindOf(socket.localAddress) == V6Kind::Unspecified && !remoteUnspecified) {
            return;
        }
        if (remoteUnspecified) {
            row.remotePort = 0;
        }
    }
    rows->push_back(row);
}

void AppendUdpRow(const KernelSocket &socket, bool v6onlyDefault, std::vector<UdpEntry> *rows) {
    if (socket.localPort == 0) {
        return;
    }
    UdpEntry row;
    row.localPort = socket.localPort;
    if (socket.family == Family::Ipv4) {
        row.localAddress = FirstFour(socket.localAddress);
    } else if (!Ipv4Of(socket.localAddress, TakesIpv4(socket, v6onlyDefault), &row.localAddress)) {
        return;
    }
    rows->push_back(row);
}

}  // namespace connwalk::kernel
