// The library's rows against the kernel's own account in /proc/net, for the
// sockets a test made: the same connections, the same endpoints, the same
// states, rendered by the rules callers are promised.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "library.h"
#include "loopback.h"

namespace connwalk::testing {
namespace {

struct KernelRow {
    uint32_t localAddress = 0;  // as /proc prints it: the bytes in memory order
    uint16_t localPort = 0;
    uint32_t remoteAddress = 0;
    uint16_t remotePort = 0;
    unsigned state = 0;
};

// "0100007F:1F90" into the address word and the port.
bool ParseEndpoint(const std::string &text, uint32_t *address, uint16_t *port) {
    unsigned long word = 0;
    unsigned portNumber = 0;
    if (std::sscanf(text.c_str(), "%8lx:%4x", &word, &portNumber) != 2) return false;
    *address = static_cast<uint32_t>(word);
    *port = static_cast<uint16_t>(portNumber);
    return true;
}

std::vector<KernelRow> KernelRows(const char *path) {
    std::vector<KernelRow> rows;
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);  // column titles
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        KernelRow row;
        if (!ParseEndpoint(local, &row.localAddress, &row.localPort) ||
            !ParseEndpoint(remote, &row.remoteAddress, &row.remotePort)) {
            continue;
        }
        row.state = static_cast<unsigned>(std::stoul(state, nullptr, 16));
        rows.push_back(row);
    }
    return rows;
}

// The kernel's TCP state numbers (include/net/tcp_states.h) and the labels
// the library gives the same states.
std::string StateLabel(unsigned kernelState) {
    static const char *const kLabels[] = {"",          "ESTABLISHED", "SYN_SENT",  "SEN_RECEIVED",
                                          "FIN_WAIT",  "FIN_WAIT2",   "TIME_WAIT", "CLOSED",
                                          "CLOSE_WAIT", "LAST_ACK",   "LISTENING", "CLOSING"};
    return kernelState < std::size(kLabels) ? kLabels[kernelState] : "?";
}

bool IsAnyAddress(uint32_t address) { return address == htonl(INADDR_ANY); }
bool IsLoopbackAddress(uint32_t address) { return address == htonl(INADDR_LOOPBACK); }

std::string RemoteEndpoint(uint32_t address, uint16_t port) {
    if (IsAnyAddress(address)) return "0.0.0.0:0";
    if (IsLoopbackAddress(address)) return "localhost:" + PortText(port, "tcp");
    return {};  // not one of the test's own sockets
}

// A connection of an earlier test, closed and waiting out TIME_WAIT, may
// still hold one of the ports; the sockets of this test are all open.
bool IsLeftOver(const Record &record) { return record.size() == 3 && record[2] == "TIME_WAIT"; }

std::string Joined(const Record &record) {
    std::string text;
    for (const std::string &field : record) text += field + " | ";
    return text;
}

// Rows of the library whose local endpoint is on one of `ports`, as text.
std::multiset<std::string> LibraryRows(const std::vector<Record> &records,
                                       const std::set<uint16_t> &ports, const char *protocol) {
    std::set<std::string> endpoints;
    for (const uint16_t port : ports) endpoints.insert(OwnEndpoint(port, protocol));
    std::multiset<std::string> rows;
    for (const Record &record : records) {
        if (endpoints.count(record[0]) != 0 && !IsLeftOver(record)) rows.insert(Joined(record));
    }
    return rows;
}

TEST(KernelView, TcpRowsOfTheTestsSocketsMatchProcNetTcp) {
    ASSERT_NE(Connwalk().getTcpEndpoints, nullptr) << "cannot open " << LibraryPath();
    const Socket anyAddress = TcpListener("0.0.0.0");
    const Socket loopback = TcpListener("127.0.0.1");
    const LoopbackConnection toAny = ConnectOverLoopback(anyAddress);
    const LoopbackConnection toLoopback = ConnectOverLoopback(loopback);
    const std::set<uint16_t> ports = {LocalPort(anyAddress), LocalPort(loopback), toAny.clientPort,
                                      toLoopback.clientPort};

    std::multiset<std::string> kernel;
    for (const KernelRow &row : KernelRows("/proc/net/tcp")) {
        if (ports.count(row.localPort) == 0) continue;
        if (!IsAnyAddress(row.localAddress) && !IsLoopbackAddress(row.localAddress)) continue;
        const Record record = {OwnEndpoint(row.localPort, "tcp"),
                               RemoteEndpoint(row.remoteAddress, row.remotePort),
                               StateLabel(row.state)};
        if (!IsLeftOver(record)) kernel.insert(Joined(record));
    }
    ASSERT_EQ(kernel.size(), 6u) << "two listeners and both ends of two connections";

    const ListingCall call = CallListing(Connwalk().getTcpEndpoints);
    ASSERT_GE(call.result, 3);
    EXPECT_EQ(LibraryRows(Records(call.text), ports, "tcp"), kernel);
}

TEST(KernelView, UdpRowsOfTheTestsSocketsMatchProcNetUdp) {
    ASSERT_NE(Connwalk().getUdpEndpoints, nullptr) << "cannot open " << LibraryPath();
    const Socket anyAddress = UdpSocket("0.0.0.0");
    const Socket loopback = UdpSocket("127.0.0.1");
    const std::set<uint16_t> ports = {LocalPort(anyAddress), LocalPort(loopback)};

    std::multiset<std::string> kernel;
    for (const KernelRow &row : KernelRows("/proc/net/udp")) {
        if (ports.count(row.localPort) == 0) continue;
        if (!IsAnyAddress(row.localAddress) && !IsLoopbackAddress(row.localAddress)) continue;
        kernel.insert(Joined({OwnEndpoint(row.localPort, "udp")}));
    }
    ASSERT_EQ(kernel.size(), 2u);

    const ListingCall call = CallListing(Connwalk().getUdpEndpoints);
    ASSERT_GE(call.result, 3);
    EXPECT_EQ(LibraryRows(Records(call.text), ports, "udp"), kernel);
}

}  // namespace
}  // namespace connwalk::testing
