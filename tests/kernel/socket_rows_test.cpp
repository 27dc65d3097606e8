// Which kernel sockets become rows of the two tables, and how.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "mib/linux/socket_rows.h"
#include "support/scripted_agent.h"

namespace connwalk::kernel {
namespace {

using testing::Ip;

TEST(MibTcpState, MapsEveryKernelState) {
    // Kernel state (TCP_ESTABLISHED = 1 ... TCP_NEW_SYN_RECV = 12) to the
    // table's code, closing 9 and last ACK 10.
    const int32_t expected[] = {0, 5, 3, 4, 6, 7, 11, 1, 8, 10, 2, 9, 4, 0, 0};
    for (uint8_t state = 0; state < std::size(expected); ++state) {
        EXPECT_EQ(MibTcpState(state), expected[state]) << "kernel state " << int{state};
    }
    EXPECT_EQ(MibTcpState(255), 0);
}

KernelSocket V4(uint8_t state, Ipv4Address local, uint16_t localPort, Ipv4Address remote, uint16_t remotePort) {
    KernelSocket socket;
    socket.state = state;
    std::memcpy(socket.localAddress, local.bytes, 4);
    std::memcpy(socket.remoteAddress, remote.bytes, 4);
    socket.localPort = localPort;
    socket.remotePort = remotePort;
    return socket;
}

struct Address6 {
    uint8_t bytes[16];
};

constexpr Address6 kAny6{};
constexpr Address6 kLoopback6{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
constexpr Address6 kDoc6{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};

Address6 Mapped(Ipv4Address address) {
    Address6 mapped{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}};
    std::memcpy(mapped.bytes + 12, address.bytes, 4);
    return mapped;
}

KernelSocket V6(uint8_t state, Address6 local, uint16_t localPort, Address6 remote, uint16_t remotePort,
                V6Only v6only = V6Only::Unknown) {
    KernelSocket socket;
    socket.family = Family::Ipv6;
    socket.state = state;
    std::memcpy(socket.localAddress, local.bytes, 16);
    std::memcpy(socket.remoteAddress, remote.bytes, 16);
    socket.localPort = localPort;
    socket.remotePort = remotePort;
    socket.v6only = v6only;
    return socket;
}

constexpr uint8_t kEstablished = 1;
constexpr uint8_t kTimeWait = 6;
constexpr uint8_t kClose = 7;
constexpr uint8_t kListen = 10;
constexpr uint8_t kBoundInactive = 13;

struct TcpCase {
    std::string what;
    KernelSocket socket;
    bool v6onlyDefault;
    std::vector<TcpEntry> expected;
};

void PrintTo(const TcpCase &test, std::ostream *out) { *out << test.what; }

class TcpRows : public ::testing::TestWithParam<TcpCase> {};

TEST_P(TcpRows, BecomeTheExpectedRow) {
    std::vector<TcpEntry> rows;
    AppendTcpRow(GetParam().socket, GetParam().v6onlyDefault, &rows);
    EXPECT_EQ(rows, GetParam().expected);
}

const Ipv4Address kAny = Ip(0, 0, 0, 0);
const Ipv4Address kLocal = Ip(127, 0, 0, 1);
const Ipv4Address kPeer = Ip(192, 0, 2, 9);

INSTANTIATE_TEST_SUITE_P(
    Sockets, TcpRows,
    ::testing::Values(
        TcpCase{"Ipv4Connection", V4(kEstablished, kLocal, 40000, kPeer, 443), false,
                {{5, kLocal, 40000, kPeer, 443}}},
        TcpCase{"Ipv4Listener", V4(kListen, kAny, 22, kAny, 0), true, {{2, kAny, 22, kAny, 0}}},
        TcpCase{"BoundOnlyHasNoRow", V4(kBoundInactive, kLocal, 5000, kAny, 0), false, {}},
        TcpCase{"UnknownStateHasNoRow", V4(200, kLocal, 5000, kAny, 0), false, {}},
        TcpCase{"ClosedWithoutItsPortHasNoRow", V4(kClose, kAny, 0, kPeer, 23730), false, {}},
        TcpCase{"MappedConnection", V6(kEstablished, Mapped(kLocal), 8080, Mapped(kPeer), 51000), true,
                {{5, kLocal, 8080, kPeer, 51000}}},
        TcpCase{"MappedTimeWait", V6(kTimeWait, Mapped(kLocal), 8080, Mapped(kPeer), 51000), false,
                {{11, kLocal, 8080, kPeer, 51000}}},
        TcpCase{"MappedListener", V6(kListen, Mapped(kLocal), 8080, kAny6, 0, V6Only::No), false,
                {{2, kLocal, 8080, kAny, 0}}},
        TcpCase{"DualStackListener", V6(kListen, kAny6, 80, kAny6, 0, V6Only::No), true, {{2, kAny, 80, kAny, 0}}},
        TcpCase{"V6OnlyListener", V6(kListen, kAny6, 80, kAny6, 0, V6Only::Yes), false, {}},
        TcpCase{"ListenerByDefaultDualStack", V6(kListen, kAny6, 80, kAny6, 0), false, {{2, kAny, 80, kAny, 0}}},
        TcpCase{"ListenerByDefaultV6Only", V6(kListen, kAny6, 80, kAny6, 0), true, {}},
        TcpCase{"ClosedOnAny", V6(kClose, kAny6, 6000, kAny6, 0, V6Only::No), false, {{1, kAny, 6000, kAny, 0}}},
        TcpCase{"AnyWithMappedPeerHasNoRow", V6(kEstablished, kAny6, 6000, Mapped(kPeer), 80, V6Only::No),
                false, {}},
        TcpCase{"LoopbackV6HasNoRow", V6(kListen, kLoopback6, 80, kAny6, 0, V6Only::No), false, {}},
        TcpCase{"PureV6ConnectionHasNoRow", V6(kEstablished, kDoc6, 80, kDoc6, 50000), false, {}},
        TcpCase{"MappedToPureV6HasNoRow", V6(kEstablished, Mapped(kLocal), 80, kDoc6, 50000), false, {}}),
    [](const ::testing::TestParamInfo<TcpCase> &test) { return test.param.what; });

TEST(UdpRows, FollowTheSameAddressRules) {
    std::vector<UdpEntry> rows;
    AppendUdpRow(V4(kClose, kLocal, 53, kAny, 0), false, &rows);
    AppendUdpRow(V4(kEstablished, kAny, 5353, kPeer, 53), false, &rows);
    AppendUdpRow(V4(kClose, kAny, 0, kAny, 0), false, &rows);  // not bound to a port
    AppendUdpRow(V6(kClose, kAny6, 123, kAny6, 0, V6Only::No), true, &rows);
    AppendUdpRow(V6(kClose, kAny6, 124, kAny6, 0, V6Only::Yes), false, &rows);
    AppendUdpRow(V6(kClose, kAny6, 125, kAny6, 0), false, &rows);
    AppendUdpRow(V6(kClose, kAny6, 126, kAny6, 0), true, &rows);
    AppendUdpRow(V6(kEstablished, Mapped(kLocal), 127, Mapped(kPeer), 53), true, &rows);
    AppendUdpRow(V6(kClose, kLoopback6, 128, kAny6, 0), false, &rows);
    EXPECT_EQ(rows, (std::vector<UdpEntry>{
                        {kLocal, 53}, {kAny, 5353}, {kAny, 123}, {kAny, 125}, {kLocal, 127}}));
}

}  // namespace
}  // namespace connwalk::kernel
