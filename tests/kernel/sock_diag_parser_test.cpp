// The sock_diag answer parser on netlink messages built by hand.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "mib/linux/sock_diag_parser.h"
#include "mib/linux/socket_rows.h"
#include "support/scripted_agent.h"

namespace connwalk::kernel {
namespace {

using testing::Ip;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kEstablished = 1;
constexpr uint8_t kListen = 10;

void AppendMessage(Bytes &out, uint16_t type, uint16_t flags, const Bytes &payload) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<uint32_t>(sizeof header + payload.size());
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    const auto *raw = reinterpret_cast<const uint8_t *>(&header);
    out.insert(out.end(), raw, raw + sizeof header);
    out.insert(out.end(), payload.begin(), payload.end());
    out.resize(NLMSG_ALIGN(out.size()));
}

struct DiagSocket {
    uint8_t family = AF_INET;
    uint8_t state = kEstablished;
    uint8_t local[16] = {};
    uint16_t localPort = 0;
    uint8_t remote[16] = {};
    uint16_t remotePort = 0;
    int v6only = -1;  // the INET_DIAG_SKV6ONLY attribute, when 0 or 1
    uint16_t flags = NLM_F_MULTI;
};

Bytes DiagPayload(const DiagSocket &socket) {
    inet_diag_msg message{};
    message.idiag_family = socket.family;
    message.idiag_state = socket.state;
    message.id.idiag_sport = htons(socket.localPort);
    message.id.idiag_dport = htons(socket.remotePort);
    std::memcpy(message.id.idiag_src, socket.local, 16);
    std::memcpy(message.id.idiag_dst, socket.remote, 16);
    const auto *raw = reinterpret_cast<const uint8_t *>(&message);
    Bytes payload(raw, raw + sizeof message);
    // Attributes the parser does not look for come first.
    const uint8_t shutdown[] = {8, 0, INET_DIAG_SHUTDOWN, 0, 0, 0, 0, 0};
    payload.insert(payload.end(), std::begin(shutdown), std::end(shutdown));
    if (socket.v6only >= 0) {
        const uint8_t v6only[] = {5, 0, INET_DIAG_SKV6ONLY, 0, static_cast<uint8_t>(socket.v6only), 0, 0, 0};
        payload.insert(payload.end(), std::begin(v6only), std::end(v6only));
    }
    return payload;
}

void AppendSocket(Bytes &out, const DiagSocket &socket) {
    AppendMessage(out, SOCK_DIAG_BY_FAMILY, socket.flags, DiagPayload(socket));
}

Bytes IntPayload(int value) {
    Bytes payload(sizeof value);
    std::memcpy(payload.data(), &value, sizeof value);
    return payload;
}

void AppendDone(Bytes &out, int code = 0, uint16_t flags = NLM_F_MULTI) {
    AppendMessage(out, NLMSG_DONE, flags, IntPayload(code));
}

DiagSocket Ipv4Connection() {
    DiagSocket socket;
    const uint8_t local[] = {127, 0, 0, 1};
    const uint8_t remote[] = {192, 0, 2, 9};
    std::memcpy(socket.local, local, 4);
    std::memcpy(socket.remote, remote, 4);
    socket.localPort = 40000;
    socket.remotePort = 443;
    return socket;
}

DiagSocket Ipv6(uint8_t state) {
    DiagSocket socket;
    socket.family = AF_INET6;
    socket.state = state;
    return socket;
}

void SetMapped(uint8_t (&address)[16], Ipv4Address v4) {
    std::memset(address, 0, 16);
    address[10] = address[11] = 0xff;
    std::memcpy(address + 12, v4.bytes, 4);
}

std::vector<TcpEntry> TcpRowsOf(const std::vector<KernelSocket> &sockets, bool v6onlyDefault) {
    std::vector<TcpEntry> rows;
    for (const KernelSocket &socket : sockets) {
        AppendTcpRow(socket, v6onlyDefault, &rows);
    }
    return rows;
}

TEST(SockDiagParser, ReadsSocketsUntilDone) {
    Bytes datagram;
    AppendSocket(datagram, Ipv4Connection());

    DiagSocket mapped = Ipv6(kEstablished);
    SetMapped(mapped.local, Ip(127, 0, 0, 1));
    SetMapped(mapped.remote, Ip(127, 0, 0, 1));
    mapped.localPort = 8080;
    mapped.remotePort = 51000;
    AppendSocket(datagram, mapped);

    DiagSocket dualStack = Ipv6(kListen);
    dualStack.localPort = 80;
    dualStack.v6only = 0;
    AppendSocket(datagram, dualStack);

    DiagSocket v6only = Ipv6(kListen);
    v6only.localPort = 81;
    v6only.v6only = 1;
    AppendSocket(datagram, v6only);

    DiagSocket pure = Ipv6(kEstablished);
    pure.local[15] = 1;  // ::1
    pure.remote[15] = 1;
    pure.localPort = 9000;
    pure.remotePort = 9001;
    AppendSocket(datagram, pure);

    DiagSocket unknownFamily = Ipv4Connection();
    unknownFamily.family = AF_UNIX;
    AppendSocket(datagram, unknownFamily);

    AppendMessage(datagram, NLMSG_NOOP, 0, {});
    AppendDone(datagram);

    std::vector<KernelSocket> sockets;
    const DiagProgress progress = ParseDiagMessages(datagram.data(), datagram.size(), &sockets);
    EXPECT_EQ(progress.end, DiagEnd::Done);
    EXPECT_FALSE(progress.interrupted);
    ASSERT_EQ(sockets.size(), 5u);
    EXPECT_EQ(sockets[0].family, Family::Ipv4);
    EXPECT_EQ(sockets[0].localPort, 40000);
    EXPECT_EQ(sockets[0].remotePort, 443);
    EXPECT_EQ(sockets[1].v6only, V6Only::Unknown);
    EXPECT_EQ(sockets[2].v6only, V6Only::No);
    EXPECT_EQ(sockets[3].v6only, V6Only::Yes);

    const Ipv4Address any = Ip(0, 0, 0, 0);
    const Ipv4Address local = Ip(127, 0, 0, 1);
    EXPECT_EQ(TcpRowsOf(sockets, true), (std::vector<TcpEntry>{{5, local, 40000, Ip(192, 0, 2, 9), 443},
                                                               {5, local, 8080, local, 51000},
                                                               {2, any, 80, any, 0}}));
}

TEST(SockDiagParser, DumpGoesOnWithoutDone) {
    Bytes datagram;
    AppendSocket(datagram, Ipv4Connection());
    AppendSocket(datagram, Ipv4Connection());
    std::vector<KernelSocket> sockets;
    const DiagProgress progress = ParseDiagMessages(datagram.data(), datagram.size(), &sockets);
    EXPECT_EQ(progress.end, DiagEnd::More);
    EXPECT_EQ(sockets.size(), 2u);
    EXPECT_EQ(ParseDiagMessages(nullptr, 0, &sockets).end, DiagEnd::More);
}

TEST(SockDiagParser, ReportsAnInterruptedDump) {
    for (const bool onDone : {false, true}) {
        Bytes datagram;
        DiagSocket socket = Ipv4Connection();
        socket.flags = onDone ? NLM_F_MULTI : NLM_F_MULTI | NLM_F_DUMP_INTR;
        AppendSocket(datagram, socket);
        AppendDone(datagram, 0, onDone ? NLM_F_MULTI | NLM_F_DUMP_INTR : NLM_F_MULTI);
        std::vector<KernelSocket> sockets;
        const DiagProgress progress = ParseDiagMessages(datagram.data(), datagram.size(), &sockets);
        EXPECT_EQ(progress.end, DiagEnd::Done);
        EXPECT_TRUE(progress.interrupted) << "flag on " << (onDone ? "DONE" : "a socket");
    }
}

TEST(SockDiagParser, ReportsKernelErrors) {
    struct Case {
        Bytes datagram;
        int error;
    };
    Bytes error;
    nlmsgerr refused{};
    refused.error = -EPERM;
    const auto *raw = reinterpret_cast<const uint8_t *>(&refused);
    AppendMessage(error, NLMSG_ERROR, 0, Bytes(raw, raw + sizeof refused));
    Bytes errorInDone;
    AppendDone(errorInDone, -EINVAL);
    Bytes shortError;
    AppendMessage(shortError, NLMSG_ERROR, 0, {1});

    for (const Case &c : {Case{error, EPERM}, Case{errorInDone, EINVAL}, Case{shortError, 0}}) {
        std::vector<KernelSocket> sockets;
        const DiagProgress progress = ParseDiagMessages(c.datagram.data(), c.datagram.size(), &sockets);
        EXPECT_EQ(progress.end, DiagEnd::Failed);
        EXPECT_EQ(progress.error, c.error);
    }
}

TEST(SockDiagParser, DoneWithoutPayloadEndsTheDump) {
    Bytes datagram;
    AppendMessage(datagram, NLMSG_DONE, NLM_F_MULTI, {});
    std::vector<KernelSocket> sockets;
    EXPECT_EQ(ParseDiagMessages(datagram.data(), datagram.size(), &sockets).end, DiagEnd::Done);
}

TEST(SockDiagParser, StopsAtDone) {
    Bytes datagram;
    AppendDone(datagram);
    AppendSocket(datagram, Ipv4Connection());
    std::vector<KernelSocket> sockets;
    EXPECT_EQ(ParseDiagMessages(datagram.data(), datagram.size(), &sockets).end, DiagEnd::Done);
    EXPECT_TRUE(sockets.empty());
}

// Every cut of a valid datagram, at every alignment, is read without going
// past its end (the sanitizers check the reads); a cut in the middle of a
// message is malformed.
TEST(SockDiagParser, CutDatagramsAreSafe) {
    Bytes whole;
    DiagSocket dualStack = Ipv6(kListen);
    dualStack.v6only = 0;
    AppendSocket(whole, Ipv4Connection());
    AppendSocket(whole, dualStack);
    AppendDone(whole);
    for (size_t offset = 0; offset < 4; ++offset) {
        for (size_t size = 0; size <= whole.size(); ++size) {
            auto cut = std::make_unique<uint8_t[]>(offset + size + 1);
            std::memcpy(cut.get() + offset, whole.data(), size);
            std::vector<KernelSocket> sockets;
            const DiagProgress progress = ParseDiagMessages(cut.get() + offset, size, &sockets);
            if (size < whole.size() && size != 0) {
                EXPECT_NE(progress.end, DiagEnd::Done) << size;
            }
        }
    }
}

TEST(SockDiagParser, MalformedLengthsFail) {
    struct Case {
        const char *what;
        Bytes datagram;
    };
    const auto withLength = [](uint32_t length) {
        Bytes datagram;
        AppendSocket(datagram, Ipv4Connection());
        std::memcpy(datagram.data(), &length, sizeof length);
        return datagram;
    };
    const Bytes tooShortHeader = withLength(8);  // below the header's own size
    const Bytes tooLong = withLength(4096);      // past the datagram
    Bytes shortPayload;
    AppendMessage(shortPayload, SOCK_DIAG_BY_FAMILY, NLM_F_MULTI, Bytes(20, 0));
    for (const Case &c : {Case{"length below header", tooShortHeader}, Case{"length past datagram", tooLong},
                          Case{"payload shorter than a socket", shortPayload}}) {
        std::vector<KernelSocket> sockets;
        EXPECT_EQ(ParseDiagMessages(c.datagram.data(), c.datagram.size(), &sockets).end, DiagEnd::Failed)
            << c.what;
    }
}

TEST(SockDiagParser, BadAttributesLeaveV6OnlyUnknown) {
    const Bytes attributeSets[] = {
        {0, 0, INET_DIAG_SKV6ONLY, 0, 1, 0, 0, 0},    // length 0
        {4, 0, INET_DIAG_SKV6ONLY, 0},                // no value
        {200, 0, INET_DIAG_SKV6ONLY, 0, 1, 0, 0, 0},  // longer than what is left
        {3, 0},                                       // cut header
    };
    for (const Bytes &attributes : attributeSets) {
        inet_diag_msg message{};
        message.idiag_family = AF_INET6;
        message.idiag_state = kListen;
        const auto *raw = reinterpret_cast<const uint8_t *>(&message);
        Bytes payload(raw, raw + sizeof message);
        payload.insert(payload.end(), attributes.begin(), attributes.end());
        Bytes datagram;
        AppendMessage(datagram, SOCK_DIAG_BY_FAMILY, NLM_F_MULTI, payload);
        std::vector<KernelSocket> sockets;
        ParseDiagMessages(datagram.data(), datagram.size(), &sockets);
        ASSERT_EQ(sockets.size(), 1u);
        EXPECT_EQ(sockets[0].v6only, V6Only::Unknown);
    }
}

}  // namespace
}  // namespace connwalk::kernel
