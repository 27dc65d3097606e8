// The /proc/net/{tcp,tcp6,udp,udp6} parser on text as the kernel writes it.
#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "mib/linux/proc_net_parser.h"
#include "mib/linux/socket_rows.h"
#include "support/scripted_agent.h"

namespace connwalk::kernel {
namespace {

using testing::Ip;

// The kernel prints each 32-bit word of an address in the machine's own
// byte order; these samples are those of a little-endian machine.
class ProcNetParser : public ::testing::Test {
  protected:
    void SetUp() override {
        if constexpr (std::endian::native != std::endian::little) {
            GTEST_SKIP() << "samples are in little-endian word order";
        }
    }
};

std::vector<TcpEntry> TcpRowsOf(std::string_view text, bool v6onlyDefault = false) {
    std::vector<KernelSocket> sockets;
    ParseProcNet(text, &sockets);
    std::vector<TcpEntry> rows;
    for (const KernelSocket &socket : sockets) {
        AppendTcpRow(socket, v6onlyDefault, &rows);
    }
    return rows;
}

const Ipv4Address kAny = Ip(0, 0, 0, 0);
const Ipv4Address kLocal = Ip(127, 0, 0, 1);

TEST_F(ProcNetParser, ReadsIpv4Lines) {
    const char *text =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 00000000:0015 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1090 1 "
        "0000000000000000 100 0 0 10 0\n"
        "   1: 0100007F:9C40 090200C0:01BB 01 00000000:00000000 00:00000000 00000000  1000        0 2001 1 "
        "0000000000000000 20 4 30 10 -1\n"
        "   2: 0100007F:FFFF 090200C0:0050 0B 00000000:00000000 00:00000000 00000000  1000        0 0 1\n"
        "   3: 0100007F:1F90 090200C0:0051 09 00000000:00000000 00:00000000 00000000  1000        0 0 1\n"
        "   4: 0100007F:1F91 090200C0:0052 06 00000000:00000000 03:00001770 00000000     0        0 0 3\n";
    const Ipv4Address peer = Ip(192, 0, 2, 9);
    EXPECT_EQ(TcpRowsOf(text), (std::vector<TcpEntry>{{2, kAny, 21, kAny, 0},
                                                      {5, kLocal, 40000, peer, 443},
                                                      {9, kLocal, 65535, peer, 80},   // 0B CLOSING
                                                      {10, kLocal, 8080, peer, 81},   // 09 LAST_ACK
                                                      {11, kLocal, 8081, peer, 82}})); // 06 TIME_WAIT
}

TEST_F(ProcNetParser, ReadsIpv6Lines) {
    const char *text =
        "  sl  local_address                         remote_address                        st tx_queue rx_queue tr "
        "tm->when retrnsmt   uid  timeout inode\n"
        // [::]:80 listening, taking IPv4 too unless v6only
        "   0: 00000000000000000000000000000000:0050 00000000000000000000000000000000:0000 0A 00000000:00000000 "
        "00:00000000 00000000     0        0 3001 1 0000000000000000 100 0 0 10 0\n"
        // ::ffff:127.0.0.1:8080 -> ::ffff:127.0.0.1:51000
        "   1: 0000000000000000FFFF00000100007F:1F90 0000000000000000FFFF00000100007F:C738 01 00000000:00000000 "
        "00:00000000 00000000  1000        0 3002 1 0000000000000000 20 4 30 10 -1\n"
        // ::1:9000 -> ::1:9001, no IPv4 row
        "   2: 00000000000000000000000001000000:2328 00000000000000000000000001000000:2329 01 00000000:00000000 "
        "00:00000000 00000000  1000        0 3003 1 0000000000000000 20 4 30 10 -1\n";
    EXPECT_EQ(TcpRowsOf(text), (std::vector<TcpEntry>{{2, kAny, 80, kAny, 0}, {5, kLocal, 8080, kLocal, 51000}}));
    // Without IPV6_V6ONLY in the file, the system default decides.
    EXPECT_EQ(TcpRowsOf(text, true), (std::vector<TcpEntry>{{5, kLocal, 8080, kLocal, 51000}}));
}

TEST_F(ProcNetParser, ReadsUdpLines) {
    const char *text =
        "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref "
        "pointer drops\n"
        "  123: 0100007F:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000   101        0 4001 2 "
        "0000000000000000 0\r\n"
        " 1024: 00000000000000000000000000000000:14E9 00000000000000000000000000000000:0000 07 00000000:00000000 "
        "00:00000000 00000000     0        0 4002 2 0000000000000000 0";  // no newline at the end
    std::vector<KernelSocket> sockets;
    ParseProcNet(text, &sockets);
    std::vector<UdpEntry> rows;
    for (const KernelSocket &socket : sockets) {
        AppendUdpRow(socket, false, &rows);
    }
    EXPECT_EQ(rows, (std::vector<UdpEntry>{{kLocal, 53}, {kAny, 5353}}));
}

TEST_F(ProcNetParser, PassesOverGarbageLines) {
    const char *lines[] = {
        "",
        "garbage",
        "   0:",
        "   0: 0100007F:0016",
        "   0: 0100007F:0016 00000000:0000",
        "   0: 0100007G:0016 00000000:0000 0A",                                   // not hex
        "   0: 0100007F:00016 00000000:0000 0A",                                  // port of 5 digits
        "   0: 0100007F:0016 00000000:0000 0A0",                                  // state of 3 digits
        "   0: 0100007F0016 00000000:0000 0A",                                    // no colon
        "   0: 100007F:0016 00000000:0000 0A",                                    // 7 digits
        "   0: 0100007F:0016 00000000000000000000000000000000:0000 0A",           // families differ
        "   0 0100007F:0016 00000000:0000 0A",                                    // slot without colon
        "   0: 0100007F: 00000000:0000 0A",                                       // empty port
        "\x01\xff\xfe:: ::::",
    };
    std::string text;
    for (const char *line : lines) {
        text += line;
        text += '\n';
    }
    std::vector<KernelSocket> sockets;
    ParseProcNet(text, &sockets);
    EXPECT_TRUE(sockets.empty());
    // A good line among them is still read.
    text += "   9: 0100007F:0016 00000000:0000 0A\n";
    ParseProcNet(text, &sockets);
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_EQ(sockets[0].localPort, 22);
    EXPECT_EQ(sockets[0].state, 0x0A);
}

// Every prefix of a sample is safe to read (the sanitizers check the reads).
TEST_F(ProcNetParser, CutTextIsSafe) {
    const std::string text =
        "   0: 0000000000000000FFFF00000100007F:1F90 0000000000000000FFFF00000100007F:C738 01 0\n"
        "   1: 0100007F:0016 00000000:0000 0A\n";
    for (size_t size = 0; size <= text.size(); ++size) {
        const std::string cut = text.substr(0, size);
        std::vector<KernelSocket> sockets;
        ParseProcNet(std::string_view(cut.data(), cut.size()), &sockets);
        EXPECT_LE(sockets.size(), 2u);
    }
}

}  // namespace
}  // namespace connwalk::kernel
