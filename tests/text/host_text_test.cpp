#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>

#include "support/fake_names.h"
#include "text/guarded_area.h"
#include "text/texts.h"

namespace connwalk {
namespace {

using namespace std::chrono_literals;
using testing::FakeNames;
using testing::GuardedArea;

FakeNames NamedPeers() {
    FakeNames names;
    names.hosts = {{"192.0.2.9", "peer.example"},
                   {"127.0.0.2", "loop2.example"},
                   {"1.0.0.10", "reversed.example"},
                   {"198.51.100.1", "\xC3\xA9t\xE9\\\r.example"},
                   {"198.51.100.2", ""}};
    return names;
}

std::string Host(Naming &naming, bool useLocalName, const Ipv4Address &address) {
    GuardedArea<kNameTextSize> out;
    HostText(naming, useLocalName, address, out.Area());
    EXPECT_TRUE(out.GuardIntact());
    return out.Text();
}

struct HostCase {
    bool useLocalName;
    Ipv4Address address;
    const char *text;
    long reverseLookUps;
    long localLookUps;
    friend std::ostream &operator<<(std::ostream &os, const HostCase &c) {
        return os << testing::Dotted(c.address) << (c.useLocalName ? "/local" : "/remote");
    }
};

class HostTextTable : public ::testing::TestWithParam<HostCase> {};

TEST_P(HostTextTable, TextAndLookUps) {
    FakeNames names = NamedPeers();
    const NameService service = names.Service();
    Naming naming(service);
    const HostCase &c = GetParam();
    EXPECT_EQ(Host(naming, c.useLocalName, c.address), c.text);
    EXPECT_EQ(names.hostCalls, c.reverseLookUps);
    EXPECT_EQ(names.localCalls, c.localLookUps);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, HostTextTable,
    ::testing::Values(
        HostCase{true, {{0, 0, 0, 0}}, "HOST", 0, 1},
        HostCase{false, {{0, 0, 0, 0}}, "0.0.0.0", 0, 0},
        HostCase{true, {{127, 0, 0, 1}}, "HOST", 0, 1},
        HostCase{false, {{127, 0, 0, 1}}, "localhost", 0, 0},
        // Only 127.0.0.1 is the machine itself; the rest of 127/8 is a peer.
        HostCase{false, {{127, 0, 0, 2}}, "loop2.example", 1, 0},
        HostCase{true, {{127, 0, 0, 2}}, "loop2.example", 1, 0},
        HostCase{false, {{1, 0, 0, 127}}, "1.0.0.127", 1, 0},
        HostCase{false, {{10, 1, 2, 3}}, "10.1.2.3", 1, 0},
        HostCase{false, {{192, 0, 2, 7}}, "192.0.2.7", 1, 0},
        HostCase{true, {{192, 0, 2, 9}}, "peer.example", 1, 0},
        HostCase{false, {{192, 0, 2, 9}}, "peer.example", 1, 0},
        // The first byte is written first and asked for first.
        HostCase{false, {{1, 0, 0, 10}}, "reversed.example", 1, 0},
        HostCase{false, {{10, 0, 0, 1}}, "10.0.0.1", 1, 0},
        HostCase{false, {{255, 255, 255, 255}}, "255.255.255.255", 1, 0},
        HostCase{false, {{0, 0, 0, 1}}, "0.0.0.1", 1, 0},
        // Names pass through byte for byte; an empty one is no name.
        HostCase{false, {{198, 51, 100, 1}}, "\xC3\xA9t\xE9\\\r.example", 1, 0},
        HostCase{false, {{198, 51, 100, 2}}, "198.51.100.2", 1, 0}));

TEST(HostText, FailedLocalNameReadsLocalhost) {
    FakeNames names = NamedPeers();
    names.localFails = true;
    const NameService service = names.Service();
    Naming naming(service);
    EXPECT_EQ(Host(naming, true, {{0, 0, 0, 0}}), "localhost");
    EXPECT_EQ(Host(naming, true, {{127, 0, 0, 1}}), "localhost");
    EXPECT_EQ(names.localCalls, 1);
}

TEST(HostText, EmptyLocalNameReadsLocalhost) {
    FakeNames names;
    names.local = "";
    const NameService service = names.Service();
    Naming naming(service);
    EXPECT_EQ(Host(naming, true, {{0, 0, 0, 0}}), "localhost");
}

TEST(HostText, LocalNameIsAskedOncePerCall) {
    FakeNames names;
    const NameService service = names.Service();
    Naming naming(service);
    for (int round = 0; round < 1000; ++round) {
        ASSERT_EQ(Host(naming, true, {{0, 0, 0, 0}}), "HOST");
        ASSERT_EQ(Host(naming, true, {{127, 0, 0, 1}}), "HOST");
    }
    EXPECT_EQ(names.localCalls, 1);
}

TEST(HostText, EachPeerIsAskedOncePerCall) {
    FakeNames names = NamedPeers();
    const NameService service = names.Service();
    Naming naming(service);
    for (int round = 0; round < 1000; ++round) {
        ASSERT_EQ(Host(naming, false, {{192, 0, 2, 9}}), "peer.example");
        ASSERT_EQ(Host(naming, false, {{10, 1, 2, 3}}), "10.1.2.3");  // a remembered miss
    }
    EXPECT_EQ(names.hostCalls, 2);
}

TEST(HostText, NothingIsRememberedBetweenCalls) {
    FakeNames names = NamedPeers();
    const NameService service = names.Service();
    {
        Naming naming(service);
        EXPECT_EQ(Host(naming, true, {{192, 0, 2, 9}}), "peer.example");
        EXPECT_EQ(Host(naming, true, {{0, 0, 0, 0}}), "HOST");
    }
    names.hosts["192.0.2.9"] = "moved.example";
    names.local = "RENAMED";
    Naming naming(service);
    EXPECT_EQ(Host(naming, true, {{192, 0, 2, 9}}), "moved.example");
    EXPECT_EQ(Host(naming, true, {{0, 0, 0, 0}}), "RENAMED");
}

TEST(HostText, LongNamesAreCutAtTheAreaEnd) {
    FakeNames names;
    names.hosts["192.0.2.9"] = std::string(300, 'r');
    names.local = std::string(300, 'l');
    const NameService service = names.Service();
    Naming naming(service);
    for (const auto &[address, letter] :
         {std::pair{Ipv4Address{{192, 0, 2, 9}}, 'r'}, std::pair{Ipv4Address{{0, 0, 0, 0}}, 'l'}}) {
        GuardedArea<kNameTextSize> out;
        HostText(naming, true, address, out.Area());
        EXPECT_EQ(out.Text(), std::string(255, letter));
        EXPECT_EQ(out.bytes[255], '\0');
        EXPECT_TRUE(out.GuardIntact());
    }
}

Ipv4Address Peer(uint8_t last) { return {{192, 0, 2, last}}; }

TEST(HostText, ReverseLookUpsStopWhenTheBudgetIsSpent) {
    FakeNames names;
    for (int last = 1; last <= 6; ++last) {
        names.hosts["192.0.2." + std::to_string(last)] = "h" + std::to_string(last);
    }
    names.reverseDelay = 700ms;
    const NameService service = names.Service();
    Naming naming(service);
    // 700 + 700 + 700 ms: the third look-up ends past the two-second budget.
    EXPECT_EQ(Host(naming, false, Peer(1)), "h1");
    EXPECT_EQ(Host(naming, false, Peer(2)), "h2");
    EXPECT_EQ(Host(naming, false, Peer(3)), "h3");
    EXPECT_EQ(naming.reverseTime, 2100ms);
    EXPECT_EQ(Host(naming, false, Peer(4)), "192.0.2.4");
    EXPECT_EQ(Host(naming, false, Peer(5)), "192.0.2.5");
    EXPECT_EQ(Host(naming, false, Peer(4)), "192.0.2.4");
    EXPECT_EQ(names.hostCalls, 3);
    // What was learnt before is still used, and the machine's own addresses
    // never needed a reverse look-up.
    EXPECT_EQ(Host(naming, false, Peer(2)), "h2");
    EXPECT_EQ(Host(naming, true, {{0, 0, 0, 0}}), "HOST");
    EXPECT_EQ(Host(naming, false, {{127, 0, 0, 1}}), "localhost");
    EXPECT_EQ(names.hostCalls, 3);
}

TEST(HostText, BudgetEndsWhenReachedExactly) {
    FakeNames names;
    names.reverseDelay = 1000ms;
    const NameService service = names.Service();
    Naming naming(service);
    for (uint8_t last = 1; last <= 4; ++last) {
        Host(naming, false, Peer(last));
    }
    EXPECT_EQ(names.hostCalls, 2);
}

TEST(HostText, MissesCostTheBudgetToo) {
    FakeNames names;
    names.reverseDelay = 1500ms;
    names.hosts["192.0.2.3"] = "h3";
    const NameService service = names.Service();
    Naming naming(service);
    EXPECT_EQ(Host(naming, false, Peer(1)), "192.0.2.1");
    EXPECT_EQ(Host(naming, false, Peer(2)), "192.0.2.2");
    EXPECT_EQ(Host(naming, false, Peer(3)), "192.0.2.3");
    EXPECT_EQ(names.hostCalls, 2);
}

TEST(HostText, QuickLookUpsAreNeverCutOff) {
    FakeNames names;
    const NameService service = names.Service();
    Naming naming(service);
    for (int third = 0; third < 4; ++third) {
        for (int last = 0; last < 256; ++last) {
            Host(naming, false, {{10, 0, static_cast<uint8_t>(third), static_cast<uint8_t>(last)}});
        }
    }
    EXPECT_EQ(names.hostCalls, 1024);
}

TEST(HostText, ServiceWithoutLookUpsGivesFixedTexts) {
    const NameService none{};
    Naming naming(none);
    EXPECT_EQ(Host(naming, true, {{0, 0, 0, 0}}), "localhost");
    EXPECT_EQ(Host(naming, false, {{192, 0, 2, 9}}), "192.0.2.9");
}

}  // namespace
}  // namespace connwalk
