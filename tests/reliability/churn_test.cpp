// Listings taken while connections come and go as fast as the machine can
// make them. Whatever moment a walk catches, every record it shows must be
// one real connection: its local and remote sides from the same socket,
// never the local side of one connection next to the remote side of
// another.
//
// Each churning thread connects to a listener of its own from client ports
// of its own, so the pairs that can exist are known: client port in the
// thread's range <=> its listener's port. Connections are closed with a
// reset (SO_LINGER 0), so none of them waits out TIME_WAIT and the ports can
// be used again at once. A client socket that is only bound, before its
// connect or after its reset, is no connection and must have no row.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "library.h"
#include "loopback.h"
#include "well_formed.h"

namespace connwalk::testing {
namespace {

constexpr int kLanes = 3;
constexpr unsigned kPortsPerLane = 64;
constexpr int kListings = 300;
constexpr size_t kFaultsShown = 20;
constexpr uint16_t kLowestClientPort = 10000;


// The lowest port the kernel picks by itself: client ports below it are
// taken only by those who bind them.
uint16_t FirstEphemeralPort() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned low = 32768;
    range >> low;
    return static_cast<uint16_t>(low);
}

bool Named(uint16_t port) {
    char buffer[1024];
    servent entry{};
    servent *result = nullptr;
    return getservbyport_r(htons(port), "tcp", &entry, buffer, sizeof buffer, &result) == 0 &&
           result != nullptr;
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in name{};
    name.sin_family = AF_INET;
    name.sin_port = htons(port);
    name.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return name;
}

// Closes with a reset, leaving nothing in TIME_WAIT.
void Abort(int fd) {
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
}

struct Lane {
    Socket listener;
    uint16_t listenerPort = 0;
    std::set<uint16_t> clientPorts;
    std::atomic<long> connections{0};
    std::atomic<long> refused{0};
};

void Churn(Lane &lane, const std::atomic<bool> &stop) {
    const sockaddr_in server = Loopback(lane.listenerPort);
    const std::vector<uint16_t> ports(lane.clientPorts.begin(), lane.clientPorts.end());
    for (size_t next = 0; !stop.load(std::memory_order_relaxed); ++next) {
        const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client < 0) {
            lane.refused.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        const sockaddr_in local = Loopback(ports[next % ports.size()]);
        if (bind(client, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0 ||
            connect(client, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0) {
            lane.refused.fetch_add(1, std::memory_order_relaxed);
            Abort(client);
            continue;
        }
        const int accepted = accept4(lane.listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted >= 0) Abort(accepted);
        Abort(client);
        lane.connections.fetch_add(1, std::memory_order_relaxed);
    }
}

struct Tally {
    long listings = 0;
    long failedWalks = 0;
    long listenerRecords = 0;
    long clientRecords = 0;  // local port in a client range
    long serverRecords = 0;  // accepted ends: local port a listener's, remote a client's
    long lookupsFound = 0;
    long lookupsEmpty = 0;
    long lookupsFailedWalks = 0;
    std::vector<std::string> faults;
    long faultCount = 0;

    void Fault(std::string what) {
        ++faultCount;
        if (faults.size() < kFaultsShown) faults.push_back(std::move(what));
    }
};

class ChurnTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Connwalk().getTcpEndpoints, nullptr) << "cannot open " << LibraryPath();
        host_ = HostName();
        for (Lane &lane : lanes_) {
            // A listener's port text must be its number, or its records could
            // not be told apart.
            for (int attempt = 0; attempt < 20 && lane.listenerPort == 0; ++attempt) {
                Socket listener = TcpListener("127.0.0.1");
                if (!Named(LocalPort(listener))) {
                    lane.listenerPort = LocalPort(listener);
                    lane.listener = std::move(listener);
                }
            }
            ASSERT_NE(lane.listenerPort, 0) << "no listener port without a service name";
        }
        PickClientPorts();
    }

    // Runs of ports below the kernel's own picks, at a random place so that
    // two runs of this test side by side are unlikely to meet, leaving out
    // ports that have a service name or that some socket uses already.
    void PickClientPorts() {
        const uint16_t ceiling = FirstEphemeralPort();
        constexpr unsigned kSpan = 2 * kLanes * kPortsPerLane;
        ASSERT_GT(ceiling, kLowestClientPort + 2 * kSpan);
        const std::set<uint16_t> used = PortsInKernelTables();
        std::mt19937 random{std::random_device{}()};
        std::uniform_int_distribution<unsigned> start(kLowestClientPort, ceiling - kSpan - 1u);
        unsigned port = start(random);
        for (Lane &lane : lanes_) {
            while (lane.clientPorts.size() < kPortsPerLane && port < ceiling) {
                const auto candidate = static_cast<uint16_t>(port++);
                if (!Named(candidate) && used.count(candidate) == 0)
                    lane.clientPorts.insert(candidate);
            }
            ASSERT_EQ(lane.clientPorts.size(), kPortsPerLane) << "not enough free client ports";
        }
    }

    // The lane whose listener is on `port`, or whose client ports hold it.
    const Lane *ListenerLane(uint16_t port) const {
        for (const Lane &lane : lanes_) {
            if (lane.listenerPort == port) return &lane;
        }
        return nullptr;
    }
    const Lane *ClientLane(uint16_t port) const {
        for (const Lane &lane : lanes_) {
            if (lane.clientPorts.count(port) != 0) return &lane;
        }
        return nullptr;
    }

    // One TCP record against the pairs that can exist.
    void CheckRecord(const Record &record, Tally &tally) const {
        const std::string &local = record[0];
        const std::string &remote = record[1];
        const std::optional<uint16_t> localPort = NumericPort(local);
        const std::optional<uint16_t> remotePort = NumericPort(remote);
        const Lane *clientSide = localPort ? ClientLane(*localPort) : nullptr;
        const Lane *listenerSide = localPort ? ListenerLane(*localPort) : nullptr;
        const Lane *remoteClient = remotePort ? ClientLane(*remotePort) : nullptr;
        const Lane *remoteListener = remotePort ? ListenerLane(*remotePort) : nullptr;
        const std::string shown = local + " | " + remote + " | " + record[2];
        if (clientSide != nullptr && remote == "0.0.0.0:0") {
            // A client socket bound to its port but not connected yet, or
            // already reset: no connection, and no row of the table.
            tally.Fault("a client socket that is only bound shown as a connection: " + shown);
        } else if (clientSide != nullptr) {
            ++tally.clientRecords;
            if (HostOf(local) != host_ || HostOf(remote) != "localhost" ||
                remoteListener != clientSide) {
                tally.Fault("client end paired with another connection's remote side: " + shown);
            }
        } else if (listenerSide != nullptr) {
            if (remote == "0.0.0.0:0") {
                ++tally.listenerRecords;
                if (record[2] != "LISTENING") tally.Fault("listener row not listening: " + shown);
            } else {
                ++tally.serverRecords;
                if (HostOf(remote) != "localhost" || remoteClient != listenerSide) {
                    tally.Fault("accepted end paired with another connection's remote side: " +
                                shown);
                }
            }
        } else if (remoteClient != nullptr || remoteListener != nullptr) {
            tally.Fault("a test port on the remote side of a row that is not the test's: " + shown);
        }
    }

    void CheckListing(Tally &tally) const {
        const ListingCall call = CallListing(Connwalk().getTcpEndpoints);
        ++tally.listings;
        if (const auto formed = WellFormedListing(Table::Tcp, call); !formed) {
            tally.Fault(formed.message());
            return;
        }
        if (call.result == 1) {
            ++tally.failedWalks;
            return;
        }
        if (call.result == 0) {
            tally.Fault("empty TCP listing, though the test's listeners are there");
            return;
        }
        for (const Record &record : Records(call.text)) CheckRecord(record, tally);
    }

    // Past the listener, a lane's listener port is only on accepted ends,
    // whose peers are the lane's clients; remotely it is only on clients.
    void CheckLookups(const Lane &lane, Tally &tally) const {
        const auto record = [&tally](const PortInfoCall &call) {
            if (call.result == 1 && call.untouched)
                ++tally.lookupsFailedWalks;
            else if (call.result == 1)
                ++tally.lookupsFound;
            else
                ++tally.lookupsEmpty;
        };
        const PortInfoCall listener =
            CallPortInfo(Connwalk().getTcpLocalPortInfo, lane.listenerPort, 0);
        if (!WellFormedPortInfo(listener) ||
            (!listener.untouched &&
             (listener.endpoint != "0.0.0.0:0" || listener.state != "LISTENING"))) {
            tally.Fault("the listener was not found first: " + listener.endpoint + " " +
                        listener.state);
        }
        const PortInfoCall accepted =
            CallPortInfo(Connwalk().getTcpLocalPortInfo, lane.listenerPort, 1);
        record(accepted);
        if (!WellFormedPortInfo(accepted)) {
            tally.Fault("malformed lookup: " + accepted.endpoint);
        } else if (!accepted.untouched) {
            const std::optional<uint16_t> port = NumericPort(accepted.endpoint);
            if (HostOf(accepted.endpoint) != "localhost" || !port ||
                lane.clientPorts.count(*port) == 0) {
                tally.Fault("accepted end found with a foreign peer: " + accepted.endpoint);
            }
        }
        const PortInfoCall client =
            CallPortInfo(Connwalk().getTcpRemotePortInfo, lane.listenerPort, 0);
        record(client);
        const std::string expected = "localhost:" + std::to_string(lane.listenerPort);
        if (!WellFormedPortInfo(client) || (!client.untouched && client.endpoint != expected)) {
            tally.Fault("client end found with a foreign peer: " + client.endpoint);
        }
    }

    std::string host_;
    Lane lanes_[kLanes];
};

TEST_F(ChurnTest, RecordsNeverMixTwoConnections) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> churners;
    for (Lane &lane : lanes_) churners.emplace_back(Churn, std::ref(lane), std::cref(stop));

    Tally tally;
    for (int i = 0; i < kListings; ++i) {
        CheckListing(tally);
        CheckLookups(lanes_[i % kLanes], tally);
    }
    stop = true;
    for (std::thread &thread : churners) thread.join();

    std::printf(
        "[reliability] churn: %d listings while %d threads connected and reset "
        "(client ports %u-%u)\n",
        kListings, kLanes, static_cast<unsigned>(*lanes_[0].clientPorts.begin()),
        static_cast<unsigned>(*lanes_[kLanes - 1].clientPorts.rbegin()));
    for (const Lane &lane : lanes_) {
        std::printf("[reliability] churn: listener %u: %ld connections made, %ld refused\n",
                    static_cast<unsigned>(lane.listenerPort), lane.connections.load(),
                    lane.refused.load());
    }
    std::printf(
        "[reliability] churn: listings %ld (%ld failed walks); records on the test's ports: "
        "%ld listener, %ld client ends, %ld accepted ends; "
        "lookups: %ld found, %ld none, %ld failed walks; %ld faults\n",
        tally.listings, tally.failedWalks, tally.listenerRecords, tally.clientRecords,
        tally.serverRecords, tally.lookupsFound, tally.lookupsEmpty, tally.lookupsFailedWalks,
        tally.faultCount);
    EXPECT_EQ(tally.faultCount, 0);
    for (const std::string &fault : tally.faults) ADD_FAILURE() << fault;
    // Without connections caught mid-flight the test has shown nothing.
    EXPECT_GT(tally.clientRecords + tally.serverRecords, 0);
    for (const Lane &lane : lanes_) EXPECT_GT(lane.connections.load(), 0);
}

}  // namespace
}  // namespace connwalk::testing
