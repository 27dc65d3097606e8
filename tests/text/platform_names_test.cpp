// The C library's look-ups, checked against the classic calls that read the
// same databases. Nothing here asks a DNS server: the only reverse look-up is
// of 127.0.0.1, and only when the hosts file answers it.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "text/guarded_area.h"
#include "text/name_service.h"

namespace connwalk {
namespace {

using testing::GuardedArea;
using testing::kGuardByte;

constexpr size_t kSize = 256;

// The official name the classic call gives, or "" when it has none.
std::string ClassicServiceName(int port, const char *protocol) {
    const servent *entry = getservbyport(htons(static_cast<uint16_t>(port)), protocol);
    return entry != nullptr ? entry->s_name : "";
}

TEST(PlatformNames, SteadyClockBoundsReverseLookUps) {
    EXPECT_EQ(PlatformNames().now, nullptr);
}

TEST(PlatformNames, ServiceNamesMatchTheServicesDatabase) {
    const NameService names = PlatformNames();
    for (const char *protocol : {"tcp", "udp"}) {
        for (int port : {0, 7, 21, 22, 25, 53, 80, 443, 512, 4711, 65535}) {
            GuardedArea<kSize> out;
            const bool named =
                names.serviceName(names.state, port, protocol, out.bytes, kSize);
            const std::string expected = ClassicServiceName(port, protocol);
            EXPECT_EQ(named, !expected.empty()) << port << "/" << protocol;
            if (named) {
                EXPECT_EQ(out.Text(), expected) << port << "/" << protocol;
            } else {
                EXPECT_EQ(out.bytes[0], kGuardByte) << "a miss leaves the area alone";
            }
            EXPECT_TRUE(out.GuardIntact());
        }
    }
}

TEST(PlatformNames, SshIsPort22) {
    if (ClassicServiceName(22, "tcp") != "ssh") {
        GTEST_SKIP() << "the services database does not list ssh as 22/tcp";
    }
    const NameService names = PlatformNames();
    char out[kSize];
    ASSERT_TRUE(names.serviceName(names.state, 22, "tcp", out, sizeof out));
    EXPECT_STREQ(out, "ssh");
    // Only the low 16 bits of a port name a service.
    ASSERT_TRUE(names.serviceName(names.state, 22 + 65536, "tcp", out, sizeof out));
    EXPECT_STREQ(out, "ssh");
    // A small area gets the name cut short and terminated.
    GuardedArea<3> small;
    ASSERT_TRUE(names.serviceName(names.state, 22, "tcp", small.bytes, 3));
    EXPECT_EQ(small.Text(), "ss");
    EXPECT_TRUE(small.GuardIntact());
}

TEST(PlatformNames, UnknownProtocolHasNoNames) {
    const NameService names = PlatformNames();
    GuardedArea<kSize> out;
    EXPECT_FALSE(names.serviceName(names.state, 22, "no-such-protocol", out.bytes, kSize));
    EXPECT_EQ(out.bytes[0], kGuardByte);
}

// What one reading of the service database gives: the first name of each
// port and protocol, as a look-up by port finds it.
using ServiceTable = std::map<std::pair<int, std::string>, std::string>;

void Keep(void *context, uint16_t port, const char *protocol, const char *name) {
    static_cast<ServiceTable *>(context)->try_emplace({port, protocol}, name);
}

bool ReadDatabase(const NameService &names, ServiceTable *table) {
    return names.eachService(names.state, Keep, table);
}

TEST(PlatformNames, ReadingTheDatabaseAgreesWithLookUpsByPort) {
    const NameService names = PlatformNames();
    ASSERT_NE(names.eachService, nullptr);
    ServiceTable table;
    ASSERT_TRUE(ReadDatabase(names, &table)) << "the reading must reach the database's end";
    for (const char *protocol : {"tcp", "udp"}) {
        for (int port = 0; port < 1100; ++port) {
            const auto found = table.find({port, protocol});
            const std::string listed = found != table.end() ? found->second : "";
            EXPECT_EQ(listed, ClassicServiceName(port, protocol)) << port << "/" << protocol;
        }
    }
}

TEST(PlatformNames, ConcurrentReadingsEachSeeTheWholeDatabase) {
    const NameService names = PlatformNames();
    ServiceTable alone;
    ASSERT_TRUE(ReadDatabase(names, &alone));
    std::vector<std::thread> threads;
    std::atomic<int> whole{0};
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                ServiceTable table;
                if (ReadDatabase(names, &table) && table == alone) {
                    ++whole;
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(whole.load(), kThreads * kRounds);
}

TEST(PlatformNames, LocalNameIsTheHostName) {
    char expected[256] = {};
    ASSERT_EQ(gethostname(expected, sizeof expected - 1), 0);
    const NameService names = PlatformNames();
    GuardedArea<kSize> out;
    ASSERT_TRUE(names.localName(names.state, out.bytes, kSize));
    EXPECT_EQ(out.Text(), expected);
    EXPECT_TRUE(out.GuardIntact());

    GuardedArea<2> small;
    ASSERT_TRUE(names.localName(names.state, small.bytes, 2));
    EXPECT_EQ(small.Text(), std::string(expected, 1));
    EXPECT_TRUE(small.GuardIntact());
}

// Whether the hosts file has a line for 127.0.0.1, so that the reverse
// look-up of it never reaches a name server.
bool HostsFileNamesLoopback() {
    std::ifstream hosts("/etc/hosts");
    std::string line;
    while (std::getline(hosts, line)) {
        std::istringstream fields(line.substr(0, line.find('#')));
        std::string address;
        std::string name;
        if (fields >> address >> name && address == "127.0.0.1") {
            return true;
        }
    }
    return false;
}

TEST(PlatformNames, LoopbackReverseNameIsTheOfficialName) {
    if (!HostsFileNamesLoopback()) {
        GTEST_SKIP() << "/etc/hosts has no line for 127.0.0.1";
    }
    const in_addr loopback{htonl(INADDR_LOOPBACK)};
    const hostent *entry = gethostbyaddr(&loopback, sizeof loopback, AF_INET);
    ASSERT_NE(entry, nullptr);
    const std::string expected = entry->h_name;

    const NameService names = PlatformNames();
    GuardedArea<kSize> out;
    ASSERT_TRUE(names.hostName(names.state, Ipv4Address{{127, 0, 0, 1}}, out.bytes, kSize));
    EXPECT_EQ(out.Text(), expected);
    EXPECT_TRUE(out.GuardIntact());
}

}  // namespace
}  // namespace connwalk
