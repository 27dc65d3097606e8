// GetTCPEndpoints and GetUDPEndpoints through the C ABI, against sockets
// the tests make on loopback and so know the rows of.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "library.h"
#include "loopback.h"

namespace connwalk::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

const std::vector<std::string> kStateLabels = {
    "???",        "CLOSED",  "LISTENING", "SYN_SENT", "SEN_RECEIVED", "ESTABLISHED", "FIN_WAIT",
    "FIN_WAIT2",  "CLOSE_WAIT", "CLOSING", "LAST_ACK", "TIME_WAIT",   "DELETE_TCB"};

class ListingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Connwalk().getTcpEndpoints, nullptr) << "cannot open " << LibraryPath();
        ASSERT_NE(Connwalk().getUdpEndpoints, nullptr);
    }

    static std::vector<Record> TcpRecords() { return Records(Tcp().text); }
    static std::vector<Record> UdpRecords() { return Records(Udp().text); }

    static ListingCall Tcp() {
        ListingCall call = CallListing(Connwalk().getTcpEndpoints);
        EXPECT_GE(call.result, 3) << "a listing call failed";
        return call;
    }
    static ListingCall Udp() {
        ListingCall call = CallListing(Connwalk().getUdpEndpoints);
        EXPECT_GE(call.result, 3) << "a listing call failed";
        return call;
    }
};

TEST_F(ListingTest, ListenersShowTheHostNameAndAnEmptyRemoteSide) {
    const Socket anyAddress = TcpListener("0.0.0.0");
    const Socket loopback = TcpListener("127.0.0.1");

    const std::vector<Record> records = TcpRecords();
    EXPECT_THAT(records, Contains(ElementsAre(OwnEndpoint(LocalPort(anyAddress), "tcp"),
                                              "0.0.0.0:0", "LISTENING")));
    EXPECT_THAT(records, Contains(ElementsAre(OwnEndpoint(LocalPort(loopback), "tcp"),
                                              "0.0.0.0:0", "LISTENING")));
}

TEST_F(ListingTest, LoopbackConnectionShowsBothEndsWithLocalhostAsPeer) {
    const Socket listener = TcpListener("127.0.0.1");
    const uint16_t listenerPort = LocalPort(listener);
    const LoopbackConnection connection = ConnectOverLoopback(listener);

    const std::vector<Record> records = TcpRecords();
    EXPECT_THAT(records, Contains(ElementsAre(OwnEndpoint(connection.clientPort, "tcp"),
                                              "localhost:" + PortText(listenerPort, "tcp"),
                                              "ESTABLISHED")));
    EXPECT_THAT(records, Contains(ElementsAre(OwnEndpoint(listenerPort, "tcp"),
                                              "localhost:" + PortText(connection.clientPort, "tcp"),
                                              "ESTABLISHED")));
}

TEST_F(ListingTest, DualStackListenerAndItsIpv4ConnectionAreListed) {
    const Socket listener = DualStackTcpListener();
    if (listener.fd < 0) GTEST_SKIP() << "no IPv6 on this machine";
    const uint16_t port = LocalPort(listener);
    const LoopbackConnection connection = ConnectOverLoopback(listener);

    const std::vector<Record> records = TcpRecords();
    EXPECT_THAT(records,
                Contains(ElementsAre(OwnEndpoint(port, "tcp"), "0.0.0.0:0", "LISTENING")));
    EXPECT_THAT(records, Contains(ElementsAre(OwnEndpoint(port, "tcp"),
                                              "localhost:" + PortText(connection.clientPort, "tcp"),
                                              "ESTABLISHED")));
}

TEST_F(ListingTest, ClosedSocketsLeaveNoListeningRow) {
    uint16_t port = 0;
    {
        const Socket listener = TcpListener("0.0.0.0");
        port = LocalPort(listener);
        ASSERT_THAT(TcpRecords(), Contains(ElementsAre(OwnEndpoint(port, "tcp"), "0.0.0.0:0",
                                                       "LISTENING")));
    }
    EXPECT_THAT(TcpRecords(),
                Not(Contains(ElementsAre(OwnEndpoint(port, "tcp"), "0.0.0.0:0", "LISTENING"))));
}

TEST_F(ListingTest, UdpSocketsShowHostNameAndUdpPortText) {
    const Socket anyAddress = UdpSocket("0.0.0.0");
    const Socket loopback = UdpSocket("127.0.0.1");

    const std::vector<Record> records = UdpRecords();
    EXPECT_THAT(records, Contains(ElementsAre(OwnEndpoint(LocalPort(anyAddress), "udp"))));
    EXPECT_THAT(records, Contains(ElementsAre(OwnEndpoint(LocalPort(loopback), "udp"))));
}

// What every caller splitting a listing relies on, checked on both tables
// while they hold rows of every kind the tests make.
TEST_F(ListingTest, ListingsKeepTheirFormat) {
    const Socket listener = TcpListener("0.0.0.0");
    const LoopbackConnection connection = ConnectOverLoopback(listener);
    const Socket udp = UdpSocket("127.0.0.1");

    for (const bool tcp : {true, false}) {
        SCOPED_TRACE(tcp ? "TCP listing" : "UDP listing");
        const ListingCall call = tcp ? Tcp() : Udp();
        ASSERT_GE(call.result, 3);
        EXPECT_EQ(static_cast<size_t>(call.result), call.text.size());
        EXPECT_LT(call.text.size(), size_t{CONNWALK_LISTING_SIZE});
        EXPECT_EQ(call.text.find('\n'), std::string::npos);
        EXPECT_EQ(call.text.back(), '\\');

        for (const Record &record : Records(call.text)) {
            ASSERT_EQ(record.size(), tcp ? 3u : 1u) << ::testing::PrintToString(record);
            EXPECT_NE(record[0].find(':'), std::string::npos) << record[0];
            if (!tcp) continue;
            EXPECT_NE(record[1].find(':'), std::string::npos) << record[1];
            EXPECT_THAT(kStateLabels, Contains(record[2]));
        }
    }
}

TEST_F(ListingTest, ResultIsTheLengthOfWhatWasWritten) {
    const Socket listener = TcpListener("127.0.0.1");
    const ListingCall call = Tcp();
    EXPECT_FALSE(call.untouched);
    EXPECT_EQ(static_cast<size_t>(call.result), call.text.size());
}

TEST_F(ListingTest, NullBufferIsRefused) {
    const Socket listener = TcpListener("127.0.0.1");
    const Socket udp = UdpSocket("127.0.0.1");
    EXPECT_EQ(Connwalk().getTcpEndpoints(nullptr), 0);
    EXPECT_EQ(Connwalk().getUdpEndpoints(nullptr), 0);
}

// The caller promises CONNWALK_LISTING_SIZE bytes and no more: whatever lies
// beyond must survive the call.
TEST_F(ListingTest, NothingIsWrittenPastTheListingSize) {
    const Socket listener = TcpListener("0.0.0.0");
    const Socket udp = UdpSocket("0.0.0.0");
    constexpr size_t kGuard = 4096;
    constexpr char kPattern = static_cast<char>(0xA5);

    for (const ListingFunction function : {Connwalk().getTcpEndpoints, Connwalk().getUdpEndpoints}) {
        std::vector<char> buffer(CONNWALK_LISTING_SIZE + kGuard, kPattern);
        const int32_t result = function(buffer.data());
        ASSERT_GE(result, 3);
        EXPECT_EQ(strnlen(buffer.data(), CONNWALK_LISTING_SIZE), static_cast<size_t>(result));
        EXPECT_TRUE(std::all_of(buffer.begin() + CONNWALK_LISTING_SIZE, buffer.end(),
                                [](char c) { return c == kPattern; }));
    }
}

}  // namespace
}  // namespace connwalk::testing
