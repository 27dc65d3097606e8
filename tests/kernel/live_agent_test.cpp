// The kernel agent against real sockets that the test opens on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "mib/agent.h"
#include "mib/linux/kernel_rows.h"
#include "mib/walk.h"
#include "support/scripted_agent.h"

namespace connwalk::kernel {
namespace {

using testing::Ip;
using testing::Oid;

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int descriptor) : fd(descriptor) {}
    Fd(Fd &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Fd &operator=(Fd &&other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    bool open() const { return fd >= 0; }
};

uint16_t LocalPort(const Fd &socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket.fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        return 0;
    }
    return address.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in &>(address).sin_port)
                                        : ntohs(reinterpret_cast<sockaddr_in6 &>(address).sin6_port);
}

sockaddr_in V4Address(Ipv4Address address, uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    std::memcpy(&result.sin_addr, address.bytes, 4);
    return result;
}

sockaddr_in6 V6Address(const in6_addr &address, uint16_t port) {
    sockaddr_in6 result{};
    result.sin6_family = AF_INET6;
    result.sin6_port = htons(port);
    result.sin6_addr = address;
    return result;
}

template <typename Address>
Fd Bound(int family, int type, const Address &address, int v6only = -1) {
    Fd socket(::socket(family, type | SOCK_CLOEXEC, 0));
    if (!socket.open()) {
        return socket;
    }
    if (v6only >= 0 && ::setsockopt(socket.fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) {
        return Fd();
    }
    if (::bind(socket.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        return Fd();
    }
    if (type == SOCK_STREAM && ::listen(socket.fd, 8) != 0) {
        return Fd();
    }
    return socket;
}

template <typename Address>
Fd Connected(int family, const Address &address) {
    Fd socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.open() && ::connect(socket.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        return Fd();
    }
    return socket;
}

Fd Accepted(const Fd &listener) { return Fd(::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC)); }

in6_addr MappedLoopback() {
    in6_addr address{};
    ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &address);
    return address;
}

constexpr int32_t kListening = 2;
constexpr int32_t kEstablished = 5;

const Ipv4Address kAny = Ip(0, 0, 0, 0);
const Ipv4Address kLoopback = Ip(127, 0, 0, 1);

// Sockets of every kind the tables show or leave out, with the rows they
// should make.
class LoopbackSockets : public ::testing::Test {
  protected:
    void SetUp() override {
        listener_ = Bound(AF_INET, SOCK_STREAM, V4Address(kLoopback, 0));
        ASSERT_TRUE(listener_.open()) << std::strerror(errno);
        const uint16_t loopbackPort = LocalPort(listener_);
        ports_.insert(loopbackPort);
        ExpectTcp({kListening, kLoopback, loopbackPort, kAny, 0});

        Keep(Bound(AF_INET, SOCK_STREAM, V4Address(kAny, 0)));
        ExpectTcp({kListening, kAny, LocalPort(sockets_.back()), kAny, 0});

        Keep(Connected(AF_INET, V4Address(kLoopback, loopbackPort)));
        const uint16_t clientPort = LocalPort(sockets_.back());
        Keep(Accepted(listener_));
        ExpectTcp({kEstablished, kLoopback, clientPort, kLoopback, loopbackPort});
        ExpectTcp({kEstablished, kLoopback, loopbackPort, kLoopback, clientPort});

        Keep(Bound(AF_INET, SOCK_DGRAM, V4Address(kLoopback, 0)));
        ExpectUdp({kLoopback, LocalPort(sockets_.back())});

        // IPv6 sockets, where the system has IPv6.
        Fd dualStack = Bound(AF_INET6, SOCK_STREAM, V6Address(in6addr_any, 0), 0);
        ipv6_ = dualStack.open();
        if (!ipv6_) {
            return;
        }
        ExpectTcp({kListening, kAny, LocalPort(dualStack), kAny, 0});
        Keep(std::move(dualStack));

        Fd v6only = Bound(AF_INET6, SOCK_STREAM, V6Address(in6addr_any, 0), 1);
        ASSERT_TRUE(v6only.open());
        v6onlyPort_ = LocalPort(v6only);
        Keep(std::move(v6only));
        ExpectAbsent(v6onlyPort_);

        Fd pureV6 = Bound(AF_INET6, SOCK_STREAM, V6Address(in6addr_loopback, 0), 0);
        if (pureV6.open()) {
            const uint16_t port = LocalPort(pureV6);
            Keep(std::move(pureV6));
            ExpectAbsent(port);
        }

        // IPv4 traffic on an IPv6 socket, seen through its mapped addresses.
        Keep(Connected(AF_INET6, V6Address(MappedLoopback(), loopbackPort)));
        const uint16_t mappedClientPort = LocalPort(sockets_.back());
        Keep(Accepted(listener_));
        ExpectTcp({kEstablished, kLoopback, mappedClientPort, kLoopback, loopbackPort});
        ExpectTcp({kEstablished, kLoopback, loopbackPort, kLoopback, mappedClientPort});

        Keep(Bound(AF_INET6, SOCK_DGRAM, V6Address(in6addr_any, 0), 0));
        ExpectUdp({kAny, LocalPort(sockets_.back())});
    }

    void Keep(Fd socket) {
        ASSERT_TRUE(socket.open()) << std::strerror(errno);
        ports_.insert(LocalPort(socket));
        sockets_.push_back(std::move(socket));
    }
    void ExpectTcp(const TcpEntry &row) { tcp_.push_back(row); }
    void ExpectUdp(const UdpEntry &row) { udp_.push_back(row); }

    // The rows that belong to the test's sockets.
    template <typename Row>
    std::vector<Row> Ours(std::vector<Row> rows, bool withV6Only) const {
        std::erase_if(rows, [&](const Row &row) {
            return !ports_.contains(static_cast<uint16_t>(row.localPort)) ||
                   (!withV6Only && row.localPort == v6onlyPort_);
        });
        return rows;
    }

    static bool SockDiagWorks() {
        std::vector<TcpEntry> rows;
        const RowSource diag = SockDiagRows();
        return diag.readTcp(diag.state, &rows);
    }

    Fd listener_;  // on 127.0.0.1, which the connections reach
    std::vector<Fd> sockets_;
    std::set<uint16_t> ports_;
    // A port of an IPv6-only socket must show no row. Its number is still
    // free for IPv4, where another process could take it while the test
    // runs, so an IPv4 socket holds it (bound sockets that neither listen
    // nor connect have no row).
    void ExpectAbsent(uint16_t port) {
        Fd holder(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in address = V4Address(kAny, port);
        if (holder.open() &&
            ::bind(holder.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
            absentPorts_.insert(port);
            Keep(std::move(holder));
        }
    }

    std::set<uint16_t> absentPorts_;
    uint16_t v6onlyPort_ = 0;
    bool ipv6_ = false;
    std::vector<TcpEntry> tcp_;
    std::vector<UdpEntry> udp_;
};

template <typename Row>
std::vector<Row> Sorted(std::vector<Row> rows) {
    std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) {
        return std::memcmp(&a, &b, sizeof a) < 0;
    });
    return rows;
}

// The agent answers from its snapshot; these rows must all be in it.
template <typename Row>
void ExpectAll(const std::vector<Row> &walked, const std::vector<Row> &expected) {
    for (const Row &row : expected) {
        EXPECT_NE(std::find(walked.begin(), walked.end(), row), walked.end())
            << "missing row with local port " << row.localPort;
    }
}

Oid IndexOf(const TcpEntry &row) {
    const uint8_t *l = row.localAddress.bytes;
    const uint8_t *r = row.remoteAddress.bytes;
    return {l[0], l[1], l[2], l[3], static_cast<uint32_t>(row.localPort),
            r[0], r[1], r[2], r[3], static_cast<uint32_t>(row.remotePort)};
}

TEST_F(LoopbackSockets, PlatformAgentShowsTheTcpRows) {
    AgentGuard guard;
    ASSERT_TRUE(StartAgent(PlatformAgent(), &guard.agent));
    std::vector<TcpEntry> walked;
    ASSERT_EQ(WalkTcpTable(guard.agent, walked), WalkEnd::Complete);
    ExpectAll(walked, tcp_);
    if (SockDiagWorks()) {
        // Only sock_diag tells a v6-only listener from a dual-stack one.
        for (const TcpEntry &row : walked) {
            EXPECT_FALSE(absentPorts_.contains(static_cast<uint16_t>(row.localPort))) << row.localPort;
        }
    }
    for (size_t i = 1; i < walked.size(); ++i) {
        EXPECT_LT(IndexOf(walked[i - 1]), IndexOf(walked[i])) << "rows out of index order at " << i;
    }
    if (!ipv6_) {
        GTEST_SKIP() << "no IPv6: dual-stack and v6-only sockets not checked";
    }
}

TEST_F(LoopbackSockets, PlatformAgentShowsTheUdpRows) {
    AgentGuard guard;
    ASSERT_TRUE(StartAgent(PlatformAgent(), &guard.agent));
    std::vector<UdpEntry> walked;
    ASSERT_EQ(WalkUdpTable(guard.agent, walked), WalkEnd::Complete);
    ExpectAll(walked, udp_);
}

// Through the Agent record alone: every answer moves forward, the table's
// cells come column by column over one snapshot, and the walk leaves the
// table on a scalar.
TEST_F(LoopbackSockets, GetNextMovesForwardToTheScalarAfterTheTable) {
    AgentGuard guard;
    ASSERT_TRUE(StartAgent(PlatformAgent(), &guard.agent));
    Oid name(std::begin(kTcpConnEntry), std::end(kTcpConnEntry));
    std::vector<Oid> cells;
    for (;;) {
        Binding binding;
        binding.name = ObjectName{static_cast<uint32_t>(name.size()), name.data()};
        BindingList list{&binding, 1};
        ASSERT_TRUE(QueryNext(guard.agent, &list));
        Oid next(binding.name.ids, binding.name.ids + binding.name.count);
        ASSERT_LT(name, next);
        name = std::move(next);
        if (name.size() < 10) {
            break;
        }
        ASSERT_EQ(name.size(), 20u);
        cells.push_back(name);
    }
    EXPECT_EQ(name, (Oid{1, 3, 6, 1, 2, 1, 6, 14, 0}));
    std::vector<TcpEntry> walked;
    ASSERT_EQ(WalkTcpTable(guard.agent, walked), WalkEnd::Complete);
    EXPECT_EQ(cells.size(), 5 * walked.size());
}

// The fallback reads the same rows for the test's sockets as sock_diag,
// except for the v6-only listener, which /proc/net cannot tell apart.
TEST_F(LoopbackSockets, ProcNetGivesTheSameRowsAsSockDiag) {
    RowSource diag = SockDiagRows();
    RowSource proc = ProcNetRows();
    std::vector<TcpEntry> diagTcp;
    if (!diag.readTcp(diag.state, &diagTcp)) {
        GTEST_SKIP() << "sock_diag is not available here";
    }
    std::vector<TcpEntry> procTcp;
    ASSERT_TRUE(proc.readTcp(proc.state, &procTcp));
    EXPECT_EQ(Sorted(Ours(diagTcp, false)), Sorted(Ours(procTcp, false)));
    ExpectAll(procTcp, tcp_);

    std::vector<UdpEntry> diagUdp;
    std::vector<UdpEntry> procUdp;
    ASSERT_TRUE(diag.readUdp(diag.state, &diagUdp));
    ASSERT_TRUE(proc.readUdp(proc.state, &procUdp));
    EXPECT_EQ(Sorted(Ours(diagUdp, false)), Sorted(Ours(procUdp, false)));
    ExpectAll(procUdp, udp_);
}

TEST(KernelCounters, ScalarsAfterTheTablesCarryKernelCounters) {
    RowSource source = KernelRows();
    MibCounters counters;
    ASSERT_TRUE(source.readCounters(source.state, &counters));
    EXPECT_EQ(counters.tcp[1], 1u);  // Linux's RTO algorithm is "other"
}

}  // namespace
}  // namespace connwalk::kernel
