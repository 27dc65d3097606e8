// GetTCPLocalPortInfo and GetTCPRemotePortInfo through the C ABI, against
// loopback sockets whose rows, and their order, the tests know.
#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "library.h"
#include "loopback.h"

namespace connwalk::testing {
namespace {

// A listener on 0.0.0.0 with two clients that reached it through
// 127.0.0.1. Rows run by local address first, so on the listener's port the
// listener (0.0.0.0) comes first, then the two accepted ends (127.0.0.1)
// ordered by their remote (client) port.
class PortLookupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Connwalk().getTcpLocalPortInfo, nullptr) << "cannot open " << LibraryPath();
        ASSERT_NE(Connwalk().getTcpRemotePortInfo, nullptr);
        listener_ = TcpListener("0.0.0.0");
        port_ = LocalPort(listener_);
        first_ = ConnectOverLoopback(listener_);
        second_ = ConnectOverLoopback(listener_);
        lowerClientPort_ = std::min(first_.clientPort, second_.clientPort);
    }

    static PortInfoCall Local(int32_t port, int32_t skipFirst = 0) {
        return CallPortInfo(Connwalk().getTcpLocalPortInfo, port, skipFirst);
    }
    static PortInfoCall Remote(int32_t port, int32_t skipFirst = 0) {
        return CallPortInfo(Connwalk().getTcpRemotePortInfo, port, skipFirst);
    }

    Socket listener_;
    uint16_t port_ = 0;
    LoopbackConnection first_;
    LoopbackConnection second_;
    uint16_t lowerClientPort_ = 0;
};

TEST_F(PortLookupTest, LocalPortFindsTheListenerFirst) {
    const PortInfoCall call = Local(port_);
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(call.endpoint, "0.0.0.0:0");
    EXPECT_EQ(call.state, "LISTENING");
}

TEST_F(PortLookupTest, AnyNonZeroSkipPassesOverExactlyOneMatch) {
    for (const int32_t skipFirst : {1, 7, -1, INT32_MIN}) {
        SCOPED_TRACE("skipFirst " + std::to_string(skipFirst));
        const PortInfoCall call = Local(port_, skipFirst);
        EXPECT_EQ(call.result, 1);
        EXPECT_EQ(call.endpoint, "localhost:" + PortText(lowerClientPort_, "tcp"));
        EXPECT_EQ(call.state, "ESTABLISHED");
    }
}

TEST_F(PortLookupTest, RemotePortFindsTheClientEnd) {
    for (const int32_t skipFirst : {0, 1}) {
        SCOPED_TRACE("skipFirst " + std::to_string(skipFirst));
        const PortInfoCall call = Remote(port_, skipFirst);
        EXPECT_EQ(call.result, 1);
        EXPECT_EQ(call.endpoint, "localhost:" + PortText(port_, "tcp"));
        EXPECT_EQ(call.state, "ESTABLISHED");
    }
}

TEST_F(PortLookupTest, ClientPortIsFoundOnBothSides) {
    // Locally it is the client's own end; remotely the accepted end on the
    // listener's port, which reports its peer, the client.
    const PortInfoCall local = Local(first_.clientPort);
    EXPECT_EQ(local.result, 1);
    EXPECT_EQ(local.endpoint, "localhost:" + PortText(port_, "tcp"));
    EXPECT_EQ(local.state, "ESTABLISHED");

    const PortInfoCall remote = Remote(first_.clientPort);
    EXPECT_EQ(remote.result, 1);
    EXPECT_EQ(remote.endpoint, "localhost:" + PortText(first_.clientPort, "tcp"));
    EXPECT_EQ(remote.state, "ESTABLISHED");

    const PortInfoCall none = Local(first_.clientPort, 1);
    EXPECT_EQ(none.result, 0);
    EXPECT_TRUE(none.untouched);
}

TEST_F(PortLookupTest, ListenersMatchRemotePortZero) {
    const PortInfoCall call = Remote(0);
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(call.endpoint, "0.0.0.0:0");
    EXPECT_EQ(call.state, "LISTENING");
}

TEST_F(PortLookupTest, PortsNobodyUsesAreNotFound) {
    const uint16_t unused = UnusedTcpPort();
    // Out-of-range values must be compared whole, not cut to 16 bits, or
    // port_ + 65536 would find the listener.
    const std::vector<int32_t> ports = {unused,         -1,        INT32_MIN, INT32_MAX,
                                        port_ + 65536,  port_ - 65536, 65536};
    for (const int32_t port : ports) {
        SCOPED_TRACE("port " + std::to_string(port));
        for (const bool local : {true, false}) {
            const PortInfoCall call = local ? Local(port) : Remote(port);
            EXPECT_EQ(call.result, 0);
            EXPECT_TRUE(call.untouched);
        }
    }
}

TEST_F(PortLookupTest, NullOutputsAreRefused) {
    char endpoint[CONNWALK_ENDPOINT_SIZE] = "untouched";
    char state[CONNWALK_STATE_SIZE] = "untouched";
    for (const PortInfoFunction function :
         {Connwalk().getTcpLocalPortInfo, Connwalk().getTcpRemotePortInfo}) {
        EXPECT_EQ(function(port_, nullptr, state, 0), 0);
        EXPECT_EQ(function(port_, endpoint, nullptr, 0), 0);
        EXPECT_EQ(function(port_, nullptr, nullptr, 0), 0);
    }
    EXPECT_STREQ(endpoint, "untouched");
    EXPECT_STREQ(state, "untouched");
}

TEST_F(PortLookupTest, NothingIsWrittenPastTheOutputSizes) {
    constexpr size_t kGuard = 256;
    constexpr char kPattern = static_cast<char>(0xA5);
    std::vector<char> endpoint(CONNWALK_ENDPOINT_SIZE + kGuard, kPattern);
    std::vector<char> state(CONNWALK_STATE_SIZE + kGuard, kPattern);

    ASSERT_EQ(Connwalk().getTcpLocalPortInfo(port_, endpoint.data(), state.data(), 1), 1);
    EXPECT_EQ(std::string(endpoint.data()), "localhost:" + PortText(lowerClientPort_, "tcp"));
    EXPECT_EQ(std::string(state.data()), "ESTABLISHED");
    const auto intact = [](const std::vector<char> &buffer, size_t size) {
        return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(size), buffer.end(),
                           [](char c) { return c == kPattern; });
    };
    EXPECT_TRUE(intact(endpoint, CONNWALK_ENDPOINT_SIZE));
    EXPECT_TRUE(intact(state, CONNWALK_STATE_SIZE));
}

}  // namespace
}  // namespace connwalk::testing
