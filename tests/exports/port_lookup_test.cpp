// The port look-ups over a scripted agent and an injected name service.
#include <gtest/gtest.h>

#include <cstring>

#include "exports/exports_fixture.h"
#include "exports/port_lookup.h"

namespace connwalk {
namespace {

using namespace testing;

struct Outputs {
    std::string endpoint = Filled(kEndpointTextSizeForTests + 16);
    std::string state = Filled(32 + 16);
    static constexpr size_t kEndpointTextSizeForTests = 512;
    std::string Endpoint() const { return endpoint.c_str(); }
    std::string State() const { return state.c_str(); }
    bool Untouched() const {
        return endpoint == Filled(kEndpointTextSizeForTests + 16) && state == Filled(32 + 16);
    }
};

struct Lookup {
    int32_t result;
    Outputs outputs;
};

Lookup Find(Machine &machine, PortSide side, int32_t port, int32_t skipFirst) {
    Lookup lookup{};
    lookup.result = TcpPortInfo(machine.Make(), side, port, lookup.outputs.endpoint.data(),
                                lookup.outputs.state.data(), skipFirst);
    return lookup;
}

// A client of 192.0.2.7 connected to the local ftp server, after the
// listener in row order.
const TcpEntry kFtpClient{5, Ip(10, 0, 0, 1), 21, Ip(192, 0, 2, 7), 40001};
const TcpEntry kFtpClient2{5, Ip(10, 0, 0, 1), 21, Ip(192, 0, 2, 8), 40002};

TEST(PortLookupTest, FindsTheRemoteSideOfTheMatch) {
    struct Case {
        const char *what;
        std::vector<TcpEntry> table;
        PortSide side;
        int32_t port;
        int32_t skipFirst;
        int32_t result;
        std::string endpoint;
        std::string state;
    };
    const std::vector<TcpEntry> ftp{kListener21, kFtpClient, kFtpClient2};
    const Case cases[] = {
        {"only a listener", {kListener21}, PortSide::Local, 21, 0, 1, "0.0.0.0:0", "LISTENING"},
        {"first of three", ftp, PortSide::Local, 21, 0, 1, "0.0.0.0:0", "LISTENING"},
        {"second of three", ftp, PortSide::Local, 21, 1, 1, "192.0.2.7:40001", "ESTABLISHED"},
        {"skipFirst is a flag", ftp, PortSide::Local, 21, 7, 1, "192.0.2.7:40001", "ESTABLISHED"},
        {"negative skipFirst", ftp, PortSide::Local, 21, -1, 1, "192.0.2.7:40001", "ESTABLISHED"},
        {"remote mail server", {kListener21, kMailClient}, PortSide::Remote, 25, 0, 1,
         "192.0.2.7:smtp", "ESTABLISHED"},
        {"remote side of a loopback peer", {kLocalClient}, PortSide::Local, 1500, 0, 1,
         "localhost:ftp", "ESTABLISHED"},
        {"remote port match is reported by its remote endpoint", {kLocalClient}, PortSide::Remote,
         21, 0, 1, "localhost:ftp", "ESTABLISHED"},
        {"listener matched by the remote port the agent gives it",
         {TcpEntry{2, Ip(0, 0, 0, 0), 80, Ip(0, 0, 0, 0), 8080}}, PortSide::Remote, 8080, 0, 1,
         "0.0.0.0:0", "LISTENING"},
    };
    for (const Case &c : cases) {
        Machine machine;
        machine.agent.view = TcpTableView(c.table);
        const Lookup lookup = Find(machine, c.side, c.port, c.skipFirst);
        EXPECT_EQ(lookup.result, c.result) << c.what;
        EXPECT_EQ(lookup.outputs.Endpoint(), c.endpoint) << c.what;
        EXPECT_EQ(lookup.outputs.State(), c.state) << c.what;
        EXPECT_EQ(machine.agent.closes, 1) << c.what;
    }
}

TEST(PortLookupTest, NoMatchLeavesTheOutputsUntouched) {
    struct Case {
        const char *what;
        std::vector<TcpEntry> table;
        PortSide side;
        int32_t port;
        int32_t skipFirst;
    };
    const Case cases[] = {
        {"empty table", {}, PortSide::Local, 21, 0},
        {"port no one uses", {kListener21, kMailClient}, PortSide::Local, 22, 0},
        {"no second match", {kListener21}, PortSide::Local, 21, 1},
        {"ports are whole 32-bit values", {kListener21}, PortSide::Local, 21 + 65536, 0},
        {"negative port", {kListener21}, PortSide::Local, -21, 0},
        {"remote side is not the local side", {kMailClient}, PortSide::Remote, 1025, 0},
    };
    for (const Case &c : cases) {
        Machine machine;
        machine.agent.view = TcpTableView(c.table);
        const Lookup lookup = Find(machine, c.side, c.port, c.skipFirst);
        EXPECT_EQ(lookup.result, 0) << c.what;
        EXPECT_TRUE(lookup.outputs.Untouched()) << c.what;
    }
}

TEST(PortLookupTest, TheLocalSideIsNeverNamed) {
    Machine machine;
    machine.agent.view = TcpTableView({kFtpClient});
    machine.names.localFails = true;
    ASSERT_EQ(Find(machine, PortSide::Local, 21, 0).result, 1);
    EXPECT_EQ(machine.names.localCalls, 0);
    // Only the remote address and port were looked up.
    EXPECT_EQ(machine.names.hostCalls, 1);
    EXPECT_EQ(machine.names.serviceCalls, 1);
}

TEST(PortLookupTest, FailuresLeaveTheOutputsUntouched) {
    struct Case {
        const char *what;
        bool startFails;
        long failAtQuery;
        int32_t result;
    };
    const Case cases[] = {
        {"agent does not start", true, -1, 0},
        {"query fails after a match was read", false, 3, 1},
    };
    for (const Case &c : cases) {
        for (PortSide side : {PortSide::Local, PortSide::Remote}) {
            Machine machine;
            machine.agent.view = TcpTableView({kListener21, kMailClient});
            machine.agent.startFails = c.startFails;
            machine.agent.failAtQuery = c.failAtQuery;
            const Lookup lookup = Find(machine, side, side == PortSide::Local ? 21 : 25, 0);
            EXPECT_EQ(lookup.result, c.result) << c.what;
            EXPECT_TRUE(lookup.outputs.Untouched()) << c.what;
        }
    }
}

TEST(PortLookupTest, NullOutputsReturnZeroWithoutStartingTheAgent) {
    Machine machine;
    machine.agent.view = TcpTableView({kListener21});
    char text[512];
    EXPECT_EQ(TcpPortInfo(machine.Make(), PortSide::Local, 21, nullptr, text, 0), 0);
    EXPECT_EQ(TcpPortInfo(machine.Make(), PortSide::Local, 21, text, nullptr, 0), 0);
    EXPECT_EQ(machine.agent.starts, 0);
}

TEST(PortLookupTest, LongNamesStayWithinTheOutputs) {
    Machine machine;
    machine.agent.view = TcpTableView({kMailClient});
    machine.names.hosts["192.0.2.7"] = std::string(400, 'h');
    machine.names.services[{25, "tcp"}] = std::string(400, 's');
    const Lookup lookup = Find(machine, PortSide::Remote, 25, 0);
    ASSERT_EQ(lookup.result, 1);
    EXPECT_EQ(lookup.outputs.Endpoint(), std::string(255, 'h') + ":" + std::string(255, 's'));
    EXPECT_EQ(lookup.outputs.endpoint.substr(512), Filled(16));
    EXPECT_EQ(lookup.outputs.state.substr(32), Filled(16));
}

}  // namespace
}  // namespace connwalk
