// The listings over a scripted agent and an injected name service.
#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "exports/exports_fixture.h"
#include "exports/listing.h"

namespace connwalk {
namespace {

using namespace testing;

// The caller's buffer: the listing's 100,000 bytes and a guard after them.
struct CallerBuffer {
    static constexpr size_t kGuard = 64;
    std::string bytes = Filled(kListingSize + kGuard);
    char *data() { return bytes.data(); }
    std::string Text() const { return std::string(bytes.c_str()); }
    bool Untouched() const { return bytes == Filled(kListingSize + kGuard); }
    bool GuardIntact() const { return bytes.compare(kListingSize, kGuard, Filled(kGuard)) == 0; }
};

TEST(ListingTest, TcpRecordsOfTheExamples) {
    struct Case {
        const char *what;
        TcpEntry entry;
        std::string record;
    };
    const Case cases[] = {
        {"listener on all interfaces", kListener21, "HOST:ftp\r0.0.0.0:0\rLISTENING\\"},
        {"loopback client", kLocalClient, "HOST:1500\rlocalhost:ftp\rESTABLISHED\\"},
        {"mail client, no reverse entry", kMailClient,
         "10.0.0.1:1025\r192.0.2.7:smtp\rESTABLISHED\\"},
        {"remote 0.0.0.0 shows port 0 whatever the agent says",
         TcpEntry{2, Ip(0, 0, 0, 0), 80, Ip(0, 0, 0, 0), 25}, "HOST:http\r0.0.0.0:0\rLISTENING\\"},
        {"state outside the table", TcpEntry{12, Ip(0, 0, 0, 0), 21, Ip(0, 0, 0, 0), 0},
         "HOST:ftp\r0.0.0.0:0\rDELETE_TCB\\"},
    };
    for (const Case &c : cases) {
        Machine machine;
        machine.agent.view = TcpTableView({c.entry});
        CallerBuffer buffer;
        const int32_t result = TcpListing(machine.Make(), buffer.data());
        EXPECT_EQ(buffer.Text(), c.record) << c.what;
        EXPECT_EQ(result, static_cast<int32_t>(c.record.size())) << c.what;
        EXPECT_EQ(machine.agent.closes, machine.agent.starts) << c.what;
    }
}

TEST(ListingTest, RecordsFollowTheAgentsRowOrderWithNothingBetween) {
    Machine machine;
    machine.agent.view = TcpTableView({kListener21, kMailClient, kLocalClient});
    CallerBuffer buffer;
    const std::string expected =
        "HOST:ftp\r0.0.0.0:0\rLISTENING\\"
        "10.0.0.1:1025\r192.0.2.7:smtp\rESTABLISHED\\"
        "HOST:1500\rlocalhost:ftp\rESTABLISHED\\";
    EXPECT_EQ(TcpListing(machine.Make(), buffer.data()), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(buffer.Text(), expected);
}

TEST(ListingTest, UdpRecords) {
    Machine machine;
    machine.names.hosts["192.0.2.1"] = "printer.example";
    machine.agent.view = UdpTableView({UdpEntry{Ip(0, 0, 0, 0), 53}, UdpEntry{Ip(127, 0, 0, 1), 5353},
                                       UdpEntry{Ip(192, 0, 2, 1), 53}});
    CallerBuffer buffer;
    const std::string expected = "HOST:domain\\HOST:5353\\printer.example:domain\\";
    EXPECT_EQ(UdpListing(machine.Make(), buffer.data()), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(buffer.Text(), expected);
}

TEST(ListingTest, EmptyTableLeavesAnEmptyString) {
    for (auto listing : {TcpListing, UdpListing}) {
        Machine machine;
        machine.agent.view = TcpTableView({});
        machine.agent.view.back().name = {1, 3, 6, 1, 2, 1, 8};  // past both tables
        CallerBuffer buffer;
        EXPECT_EQ(listing(machine.Make(), buffer.data()), 0);
        EXPECT_EQ(buffer.bytes[0], '\0');
        EXPECT_EQ(buffer.bytes[1], '#');
    }
}

TEST(ListingTest, FailuresLeaveTheBufferUntouched) {
    struct Case {
        const char *what;
        bool startFails;
        long failAtQuery;
        int32_t result;
    };
    const Case cases[] = {
        {"agent does not start", true, -1, 0},
        {"first query fails", false, 0, 1},
        {"query fails mid-walk", false, 4, 1},
    };
    for (const Case &c : cases) {
        for (auto listing : {TcpListing, UdpListing}) {
            Machine machine;
            machine.agent.view = TcpTableView({kListener21, kLocalClient});
            const auto udp = UdpTableView({UdpEntry{Ip(0, 0, 0, 0), 53}, UdpEntry{Ip(0, 0, 0, 0), 67}});
            machine.agent.view.insert(machine.agent.view.end(), udp.begin(), udp.end());
            machine.agent.startFails = c.startFails;
            machine.agent.failAtQuery = c.failAtQuery;
            CallerBuffer buffer;
            EXPECT_EQ(listing(machine.Make(), buffer.data()), c.result) << c.what;
            EXPECT_TRUE(buffer.Untouched()) << c.what;
            EXPECT_EQ(machine.agent.closes, c.startFails ? 0 : 1) << c.what;
        }
    }
}

TEST(ListingTest, NullBufferReturnsZeroWithoutStartingTheAgent) {
    Machine machine;
    machine.agent.view = TcpTableView({kListener21});
    EXPECT_EQ(TcpListing(machine.Make(), nullptr), 0);
    EXPECT_EQ(UdpListing(machine.Make(), nullptr), 0);
    EXPECT_EQ(machine.agent.starts, 0);
}

// A table whose listing would outgrow the buffer: it stops after the last
// whole record that fits, and names no record it cannot show.
TEST(ListingTest, OversizedListingStopsAtTheLastWholeRecord) {
    Machine machine;
    std::vector<TcpEntry> rows;
    for (int32_t i = 0; i < 2000; ++i) {
        const Ipv4Address peer = Ip(192, 0, 2, static_cast<uint8_t>(i % 250));
        rows.push_back(TcpEntry{5, Ip(10, 0, static_cast<uint8_t>(i / 250), static_cast<uint8_t>(i % 250)),
                                40000 + i, peer, 443});
        machine.names.hosts[Dotted(rows.back().localAddress)] = std::string(200, static_cast<char>('a' + i % 26));
    }
    machine.agent.view = TcpTableView(rows);
    CallerBuffer buffer;
    const int32_t result = TcpListing(machine.Make(), buffer.data());
    const std::string text = buffer.Text();
    ASSERT_GT(result, 0);
    EXPECT_EQ(static_cast<size_t>(result), text.size());
    EXPECT_LE(text.size() + 1, kListingSize);
    EXPECT_EQ(text.back(), '\\');
    EXPECT_TRUE(buffer.GuardIntact());
    // Every record is whole: its fields are all there.
    const size_t records = static_cast<size_t>(std::count(text.begin(), text.end(), '\\'));
    EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\r')), 2 * records);
    EXPECT_LT(records, rows.size());
    // A record is over 200 bytes, so what is left is less than one record.
    EXPECT_GT(text.size() + 300, kListingSize);
    // Local names were asked for the records shown and the one that did not
    // fit, no more.
    EXPECT_LE(static_cast<size_t>(machine.names.hostCalls), records + 1 + 250);
}

TEST(ListingTest, ListingHoldsEveryWholeRecordThatFits) {
    // Records of one size: as many as fit with the NUL, and not one more.
    Machine machine;
    const std::string fixed = ":ftp\r0.0.0.0:0\rLISTENING\\";
    std::vector<TcpEntry> rows;
    const std::string name(255, 'n');
    for (int32_t i = 0; i < 400; ++i) {
        rows.push_back(TcpEntry{2, Ip(10, 0, static_cast<uint8_t>(1 + i / 256), static_cast<uint8_t>(i % 256)),
                                21, Ip(0, 0, 0, 0), 0});
    }
    for (const TcpEntry &row : rows) {
        machine.names.hosts[Dotted(row.localAddress)] = name;
    }
    machine.agent.view = TcpTableView(rows);
    CallerBuffer buffer;
    const int32_t result = TcpListing(machine.Make(), buffer.data());
    const size_t recordSize = name.size() + fixed.size();
    EXPECT_EQ(static_cast<size_t>(result), (kListingSize - 1) / recordSize * recordSize);
    EXPECT_TRUE(buffer.GuardIntact());
}

// Once the listing is full no more names are asked for, so a large table
// costs a listing its walk and no more look-ups than a small one.
TEST(ListingTest, LookUpsStopWhenTheListingIsFull) {
    std::vector<long> lookUps;
    for (const int32_t size : {5000, 40000}) {
        Machine machine;
        std::vector<TcpEntry> rows;
        for (int32_t i = 0; i < size; ++i) {
            // Every row has its own local port and its own peer.
            rows.push_back(TcpEntry{5, Ip(10, 0, 0, 1), 1024 + i,
                                    Ip(192, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)), 443});
        }
        machine.agent.view = TcpTableView(rows);
        CallerBuffer buffer;
        ASSERT_GT(TcpListing(machine.Make(), buffer.data()), 0);
        const std::string text = buffer.Text();
        const long records = std::count(text.begin(), text.end(), '\\');
        ASSERT_LT(records, size);
        // The records shown and the one that did not fit.
        EXPECT_LE(machine.names.serviceCalls, 2 * (records + 1));
        EXPECT_LE(machine.names.hostCalls, 2 * (records + 1));
        lookUps.push_back(machine.names.serviceCalls + machine.names.hostCalls);
    }
    EXPECT_EQ(lookUps[0], lookUps[1]);
}

TEST(ListingTest, LookupsAreAskedOncePerCall) {
    Machine machine;
    std::vector<TcpEntry> rows;
    for (int32_t i = 0; i < 1000; ++i) {
        rows.push_back(TcpEntry{5, Ip(10, 0, 0, 1), 30000 + i, Ip(192, 0, 2, 9), 443});
    }
    machine.names.hosts["192.0.2.9"] = "peer.example";
    machine.agent.view = TcpTableView(rows);
    CallerBuffer buffer;
    ASSERT_GT(TcpListing(machine.Make(), buffer.data()), 0);
    EXPECT_EQ(machine.names.hostCalls, 2);  // the local address and the peer
    EXPECT_EQ(machine.names.serviceCalls, 1000 + 1);
    // The next call asks again: nothing is kept between calls.
    ASSERT_GT(TcpListing(machine.Make(), buffer.data()), 0);
    EXPECT_EQ(machine.names.hostCalls, 4);
}

TEST(ListingTest, SlowReverseLookupsAreCutShort) {
    Machine machine;
    machine.names.reverseDelay = std::chrono::milliseconds(900);
    std::vector<TcpEntry> rows;
    for (uint8_t i = 1; i <= 10; ++i) {
        rows.push_back(TcpEntry{5, Ip(127, 0, 0, 1), 40000 + i, Ip(192, 0, 2, i), 80});
        machine.names.hosts[Dotted(rows.back().remoteAddress)] = "peer" + std::to_string(i);
    }
    machine.agent.view = TcpTableView(rows);
    CallerBuffer buffer;
    ASSERT_GT(TcpListing(machine.Make(), buffer.data()), 0);
    const std::string text = buffer.Text();
    EXPECT_NE(text.find("peer1:http"), std::string::npos);
    EXPECT_NE(text.find("192.0.2.10:http"), std::string::npos);
    EXPECT_LE(machine.names.hostCalls, 3);
}

NameService Throwing() {
    NameService names = ExampleNames().Service();
    names.state = nullptr;
    names.serviceName = [](void *, int32_t, const char *, char *, size_t) -> bool {
        throw std::bad_alloc();
    };
    return names;
}

TEST(ListingTest, FailureWhileRenderingLeavesTheBufferUntouched) {
    ScriptedAgent agent;
    agent.view = TcpTableView({kListener21});
    CallerBuffer buffer;
    EXPECT_EQ(TcpListing(Services{agent.Starter(), Throwing()}, buffer.data()), 1);
    EXPECT_TRUE(buffer.Untouched());
    EXPECT_EQ(agent.closes, 1);
}

}  // namespace
}  // namespace connwalk
