// The /proc/net/snmp counters parser.
#include <gtest/gtest.h>

#include <string>

#include "mib/linux/snmp_counters_parser.h"

namespace connwalk::kernel {
namespace {

TEST(SnmpCountersParser, TakesTcpAndUdpFieldsByName) {
    const char *text =
        "Ip: Forwarding DefaultTTL InReceives\n"
        "Ip: 1 64 12345\n"
        "Tcp: RtoAlgorithm RtoMin RtoMax MaxConn ActiveOpens PassiveOpens AttemptFails EstabResets CurrEstab "
        "InSegs OutSegs RetransSegs InErrs OutRsts InCsumErrors\n"
        "Tcp: 1 200 120000 -1 40 30 2 5 3 18446744073709551615 900 7 11 12 0\n"
        "Udp: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors InCsumErrors IgnoredMulti\n"
        "Udp: 5000000000 6 7 8 0 0 0 0\n"
        "UdpLite: InDatagrams NoPorts InErrors OutDatagrams\n"
        "UdpLite: 91 92 93 94\n";
    MibCounters counters;
    ParseSnmpCounters(text, &counters);
    EXPECT_EQ(counters.tcp[1], 1u);
    EXPECT_EQ(counters.tcp[3], 120000u);
    EXPECT_EQ(counters.tcp[4], ~uint64_t{0});  // -1
    EXPECT_EQ(counters.tcp[9], 3u);
    EXPECT_EQ(counters.tcp[10], ~uint64_t{0});
    EXPECT_EQ(counters.tcp[12], 7u);
    EXPECT_EQ(counters.tcp[13], 0u);  // the table's place holds no counter
    EXPECT_EQ(counters.tcp[14], 11u);
    EXPECT_EQ(counters.tcp[15], 12u);
    EXPECT_EQ(counters.udp[1], 5000000000u);
    EXPECT_EQ(counters.udp[2], 6u);
    EXPECT_EQ(counters.udp[4], 8u);
}

TEST(SnmpCountersParser, LeavesCountersItCannotReadAlone) {
    const char *texts[] = {
        "",
        "Tcp: RtoAlgorithm RtoMin\n",                             // names without numbers
        "Tcp: 1 2\nTcp: RtoAlgorithm RtoMin\n",                   // numbers before names
        "Tcp: RtoAlgorithm RtoMin\nUdp: 1 2\n",                   // lines of different protocols
        "Tcp: RtoAlgorithm RtoMin\nTcp: x -\n",                   // not numbers
        "Tcp:\nTcp:\n",
        "\xff\xfe\n\n",
    };
    for (const char *text : texts) {
        MibCounters counters;
        counters.tcp[1] = 77;
        ParseSnmpCounters(text, &counters);
        EXPECT_EQ(counters.tcp[1], 77u) << text;
        EXPECT_EQ(counters.tcp[2], 0u) << text;
    }
}

}  // namespace
}  // namespace connwalk::kernel
