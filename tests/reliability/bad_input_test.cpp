// Everything a caller can get wrong, and everything a table can do to the
// limits: null buffers, ports and flags of any 32-bit value, a table whose
// listing is many times the size of the buffer, and parts of the library
// that throw. Each call must end with one of its results, write nothing it
// did not promise, and never let an exception into the caller's frames.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "connwalk.h"
#include "exports/listing.h"
#include "exports/port_lookup.h"
#include "guarded_buffer.h"
#include "library.h"
#include "loopback.h"
#include "mib/linux/kernel_agent.h"
#include "process_usage.h"
#include "support/fake_names.h"
#include "support/scripted_agent.h"
#include "well_formed.h"

namespace connwalk::testing {
namespace {

constexpr int32_t kSkipFlags[] = {0, 1, -1, 2, INT32_MIN, INT32_MAX};

bool UnwrittenLookup(const GuardedBuffer &endpoint, const GuardedBuffer &state) {
    return endpoint.UnwrittenFrom(0) && state.UnwrittenFrom(0);
}

// ---------------------------------------------------------------------------
// Arguments, through the C ABI.

class ArgumentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Connwalk().getTcpLocalPortInfo, nullptr) << "cannot open " << LibraryPath();
        listener_ = TcpListener("127.0.0.1");
        other_ = TcpListener("127.0.0.1");
        port_ = LocalPort(listener_);
        first_ = ConnectOverLoopback(listener_);
        second_ = ConnectOverLoopback(listener_);
    }

    Socket listener_;
    Socket other_;
    uint16_t port_ = 0;
    LoopbackConnection first_;
    LoopbackConnection second_;
};

TEST_F(ArgumentTest, NullBuffersAreRefusedWithoutWriting) {
    const ConnwalkLibrary &library = Connwalk();
    EXPECT_EQ(library.getTcpEndpoints(nullptr), 0);
    EXPECT_EQ(library.getUdpEndpoints(nullptr), 0);

    GuardedBuffer endpoint(CONNWALK_ENDPOINT_SIZE);
    GuardedBuffer state(CONNWALK_STATE_SIZE);
    for (const PortInfoFunction function :
         {library.getTcpLocalPortInfo, library.getTcpRemotePortInfo}) {
        // The port has matches on both sides, so only the refusal keeps the
        // calls from writing.
        for (const int32_t skipFirst : kSkipFlags) {
            EXPECT_EQ(function(port_, nullptr, state.data, skipFirst), 0);
            EXPECT_EQ(function(port_, endpoint.data, nullptr, skipFirst), 0);
            EXPECT_EQ(function(port_, nullptr, nullptr, skipFirst), 0);
        }
    }
    EXPECT_TRUE(UnwrittenLookup(endpoint, state));
}

// Every port is compared whole: most values below have the low 16 bits of
// a port the tables hold (the listener's, or the 0 of every listener's
// remote side), and none of them may find it, whatever the skip flag.
TEST_F(ArgumentTest, PortsOutsideTheTablesAreNeverFound) {
    const int32_t port = port_;
    const int32_t ports[] = {-1,        -port,            port - 65536,
                             65536,     port + 65536,     port | 0x7fff0000,
                             INT32_MIN, INT32_MIN + port, INT32_MAX,
                             INT32_MAX - 65535 + port};
    GuardedBuffer endpoint(CONNWALK_ENDPOINT_SIZE);
    GuardedBuffer state(CONNWALK_STATE_SIZE);
    for (const bool local : {true, false}) {
        const PortInfoFunction function =
            local ? Connwalk().getTcpLocalPortInfo : Connwalk().getTcpRemotePortInfo;
        for (const int32_t value : ports) {
            for (const int32_t skipFirst : kSkipFlags) {
                SCOPED_TRACE((local ? "local port " : "remote port ") + std::to_string(value) +
                             ", skipFirst " + std::to_string(skipFirst));
                EXPECT_EQ(function(value, endpoint.data, state.data, skipFirst), 0);
                EXPECT_TRUE(UnwrittenLookup(endpoint, state));
            }
        }
    }
}

// The flag passes over exactly one match whatever its value: on the
// listener's port there are three (the listener, then the two accepted
// ends by client port), and the third is never reached. No connection has
// local port 0; every listener has remote port 0.
TEST_F(ArgumentTest, AnySkipFlagPassesOverExactlyOneMatch) {
    const uint16_t lowerClient = std::min(first_.clientPort, second_.clientPort);
    struct Case {
        bool local;
        int32_t port;
        bool skipping;
        int32_t result;
        std::string endpoint;
        std::string state;
    };
    const std::vector<Case> cases = {
        {true, port_, false, 1, "0.0.0.0:0", "LISTENING"},
        {true, port_, true, 1, "localhost:" + PortText(lowerClient, "tcp"), "ESTABLISHED"},
        {false, port_, false, 1, "localhost:" + PortText(port_, "tcp"), "ESTABLISHED"},
        {false, port_, true, 1, "localhost:" + PortText(port_, "tcp"), "ESTABLISHED"},
        {true, first_.clientPort, false, 1, "localhost:" + PortText(port_, "tcp"), "ESTABLISHED"},
        {true, first_.clientPort, true, 0, "", ""},
        {true, 0, false, 0, "", ""},
        {true, 0, true, 0, "", ""},
        {false, 0, false, 1, "0.0.0.0:0", "LISTENING"},
        {false, 0, true, 1, "0.0.0.0:0", "LISTENING"},
    };
    GuardedBuffer endpoint(CONNWALK_ENDPOINT_SIZE);
    GuardedBuffer state(CONNWALK_STATE_SIZE);
    for (const Case &c : cases) {
        for (const int32_t skipFirst : kSkipFlags) {
            if ((skipFirst != 0) != c.skipping) continue;
            SCOPED_TRACE((c.local ? "local port " : "remote port ") + std::to_string(c.port) +
                         ", skipFirst " + std::to_string(skipFirst));
            endpoint.Fill();
            state.Fill();
            const PortInfoFunction function =
                c.local ? Connwalk().getTcpLocalPortInfo : Connwalk().getTcpRemotePortInfo;
            EXPECT_EQ(function(c.port, endpoint.data, state.data, skipFirst), c.result);
            if (c.result == 0) {
                EXPECT_TRUE(UnwrittenLookup(endpoint, state));
                continue;
            }
            EXPECT_EQ(endpoint.Text(), c.endpoint);
            EXPECT_EQ(state.Text(), c.state);
            EXPECT_TRUE(endpoint.UnwrittenFrom(c.endpoint.size() + 1));
            EXPECT_TRUE(state.UnwrittenFrom(c.state.size() + 1));
        }
    }
}

// ---------------------------------------------------------------------------
// A listing far larger than the buffer, through the C ABI: as many sockets
// as the descriptor limit allows, and a buffer of exactly
// CONNWALK_LISTING_SIZE bytes that ends at an inaccessible page.

// The longest record either listing can hold: two endpoints, a state label,
// the separators.
constexpr size_t kLongestTcpRecord =
    (CONNWALK_ENDPOINT_SIZE - 1) * 2 + (CONNWALK_STATE_SIZE - 1) + 3;
constexpr size_t kLongestUdpRecord = CONNWALK_ENDPOINT_SIZE;
constexpr size_t kMostSockets = 20000;
constexpr long kDescriptorsKept = 64;  // for the library's own and the test's

// Raises the descriptor limit as far as it goes; the limit now in force.
rlim_t RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return raised.rlim_cur;
    }
    return limit.rlim_cur;
}

// Up to `count` sockets of `type` on 127.0.0.1, TCP ones listening; fewer
// when descriptors or ports run out. Ports are taken in turn from the
// kernel's own range, skipping those in use: letting the kernel pick makes
// each TCP bind search past every port taken before it.
std::vector<Socket> ManySockets(int type, size_t count) {
    unsigned low = 32768;
    unsigned high = 60999;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
    std::vector<Socket> sockets;
    sockets.reserve(count);
    for (unsigned port = low; port <= high && sockets.size() < count; ++port) {
        Socket socket(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
        if (socket.fd < 0) break;
        sockaddr_in loopback{};
        loopback.sin_family = AF_INET;
        loopback.sin_port = htons(static_cast<uint16_t>(port));
        loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(socket.fd, reinterpret_cast<const sockaddr *>(&loopback), sizeof loopback) != 0 ||
            (type == SOCK_STREAM && listen(socket.fd, 1) != 0)) {
            continue;
        }
        sockets.push_back(std::move(socket));
    }
    return sockets;
}

struct Flood {
    Table table;
    const char *function;
    const char *protocol;
    size_t longestRecord;
};

void PrintTo(const Flood &flood, std::ostream *out) { *out << flood.function; }

class OversizedListingTest : public ::testing::TestWithParam<Flood> {};

TEST_P(OversizedListingTest, StopsAtTheLastWholeRecordInsideTheBuffer) {
    const Flood &flood = GetParam();
    const ListingFunction function =
        flood.table == Table::Tcp ? Connwalk().getTcpEndpoints : Connwalk().getUdpEndpoints;
    ASSERT_NE(function, nullptr) << "cannot open " << LibraryPath();

    const rlim_t limit = RaiseDescriptorLimit();
    const long room = static_cast<long>(limit) - OpenDescriptors() - kDescriptorsKept;
    const size_t wanted = std::min(kMostSockets, static_cast<size_t>(std::max(room, 0L)));
    const std::vector<Socket> sockets =
        ManySockets(flood.table == Table::Tcp ? SOCK_STREAM : SOCK_DGRAM, wanted);
    size_t ownBytes = 0;
    for (const Socket &socket : sockets) {
        const size_t fields =
            flood.table == Table::Tcp ? std::string("\r0.0.0.0:0\rLISTENING\\").size() : 1;
        ownBytes += OwnEndpoint(LocalPort(socket), flood.protocol).size() + fields;
    }
    std::printf(
        "[reliability] boundary %s: descriptor limit %llu; %zu sockets on 127.0.0.1 "
        "(%zu asked for); their records alone take %zu bytes\n",
        flood.function, static_cast<unsigned long long>(limit), sockets.size(), wanted, ownBytes);
    if (ownBytes < CONNWALK_LISTING_SIZE) {
        std::printf(
            "[reliability] boundary %s: the descriptor limit allows too few sockets to outgrow the "
            "buffer; the listing is checked as it is\n",
            flood.function);
    }

    GuardedBuffer buffer(CONNWALK_LISTING_SIZE);
    const auto started = std::chrono::steady_clock::now();
    const int32_t result = function(buffer.data);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string_view text = buffer.Text();
    ASSERT_GE(result, 3);
    ASSERT_TRUE(WellFormedListing(flood.table, result, text, false));
    EXPECT_LT(text.size(), buffer.size);
    EXPECT_TRUE(buffer.UnwrittenFrom(text.size() + 1))
        << "bytes after the listing's NUL were written";
    const size_t records = static_cast<size_t>(std::count(text.begin(), text.end(), '\\'));
    const size_t spare = CONNWALK_LISTING_SIZE - 1 - text.size();
    std::printf(
        "[reliability] boundary %s: result %d (%zu records, %zu bytes to spare) in %.2f s; "
        "nothing written past the NUL\n",
        flood.function, result, records, spare, seconds);
    if (ownBytes >= CONNWALK_LISTING_SIZE) {
        // Cut short, but only by the record that did not fit.
        EXPECT_LT(spare, flood.longestRecord);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Listings, OversizedListingTest,
    ::testing::Values(Flood{Table::Tcp, "GetTCPEndpoints", "tcp", kLongestTcpRecord},
                      Flood{Table::Udp, "GetUDPEndpoints", "udp", kLongestUdpRecord}),
    [](const ::testing::TestParamInfo<Flood> &param) {
        return std::string(param.param.table == Table::Tcp ? "Tcp" : "Udp");
    });

// ---------------------------------------------------------------------------
// Exceptions from the parts a call is made of, through the exported calls'
// internals with injected parts. Whatever is thrown, the call returns a
// result and leaves the caller's buffers as they were.

enum class Part { AgentStart, AgentQuery, RowSource, ServiceName, HostName, LocalName };

const char *NameOf(Part part) {
    switch (part) {
        case Part::AgentStart: return "agent start";
        case Part::AgentQuery: return "agent query";
        case Part::RowSource: return "kernel agent's row source";
        case Part::ServiceName: return "service look-up";
        case Part::HostName: return "reverse look-up";
        case Part::LocalName: return "local name";
    }
    return "?";
}

enum class Thrown { BadAlloc, RuntimeError, Integer };

[[noreturn]] void Throw(Thrown thrown) {
    switch (thrown) {
        case Thrown::BadAlloc: throw std::bad_alloc();
        case Thrown::RuntimeError: throw std::runtime_error("thrown by a test");
        case Thrown::Integer: throw 42;
    }
    throw 0;
}

// A table with every kind of side: local and remote names looked up,
// services named, the machine's own name.
const std::vector<TcpEntry> kTcpRows = {
    {2, Ip(0, 0, 0, 0), 21, Ip(0, 0, 0, 0), 0},
    {5, Ip(10, 0, 0, 1), 21, Ip(192, 0, 2, 7), 40000},
    {5, Ip(127, 0, 0, 1), 1500, Ip(127, 0, 0, 1), 21},
};
const std::vector<UdpEntry> kUdpRows = {{Ip(0, 0, 0, 0), 53}, {Ip(10, 0, 0, 1), 5353}};

// Parts that throw `thrown` when `part` is reached, and otherwise do what
// the scripted agent, the kernel agent over kTcpRows and kUdpRows, and the
// fake names do.
struct ThrowingParts {
    Part part;
    Thrown thrown;
    bool threw = false;

    ScriptedAgent scripted;
    FakeNames names = ExampleNames();
    Agent inner;
    kernel::RowSource rows;

    explicit ThrowingParts(Part where, Thrown what) : part(where), thrown(what) {
        std::vector<ScriptedObject> view = TcpTableView(kTcpRows);
        const std::vector<ScriptedObject> udp = UdpTableView(kUdpRows);
        view.insert(view.end(), udp.begin(), udp.end());
        scripted.view = view;
        names.hosts["192.0.2.7"] = "peer.example";
        rows.state = this;
        rows.readTcp = ReadTcp;
        rows.readUdp = ReadUdp;
    }

    void Reached(Part reached) {
        if (reached == part) {
            threw = true;
            Throw(thrown);
        }
    }

    static ThrowingParts &Of(void *state) { return *static_cast<ThrowingParts *>(state); }

    static bool Start(void *state, Agent *agent) {
        ThrowingParts &parts = Of(state);
        parts.Reached(Part::AgentStart);
        const AgentStarter starter = parts.scripted.Starter();
        if (!starter.start(starter.state, &parts.inner)) return false;
        agent->state = state;
        agent->query = Query;
        agent->close = Close;
        return true;
    }
    static bool Query(void *state, uint8_t type, BindingList *list, int32_t *status,
                      int32_t *index) {
        ThrowingParts &parts = Of(state);
        // Half-way into the walk, with entries made.
        if (parts.scripted.queries == 4) parts.Reached(Part::AgentQuery);
        return parts.inner.query(parts.inner.state, type, list, status, index);
    }
    static void Close(void *state) { CloseAgent(&Of(state).inner); }

    static bool ReadTcp(void *state, std::vector<TcpEntry> *out) {
        Of(state).Reached(Part::RowSource);
        *out = kTcpRows;
        return true;
    }
    static bool ReadUdp(void *state, std::vector<UdpEntry> *out) {
        Of(state).Reached(Part::RowSource);
        *out = kUdpRows;
        return true;
    }

    static bool ServiceName(void *state, int32_t port, const char *protocol, char *out,
                            size_t size) {
        ThrowingParts &parts = Of(state);
        parts.Reached(Part::ServiceName);
        const NameService service = parts.names.Service();
        return service.serviceName(service.state, port, protocol, out, size);
    }
    static bool HostName(void *state, const Ipv4Address &address, char *out, size_t size) {
        ThrowingParts &parts = Of(state);
        parts.Reached(Part::HostName);
        const NameService service = parts.names.Service();
        return service.hostName(service.state, address, out, size);
    }
    static bool LocalName(void *state, char *out, size_t size) {
        ThrowingParts &parts = Of(state);
        parts.Reached(Part::LocalName);
        const NameService service = parts.names.Service();
        return service.localName(service.state, out, size);
    }

    Services Make() {
        const AgentStarter agent =
            part == Part::RowSource ? kernel::RowSourceAgent(&rows) : AgentStarter{this, Start};
        return Services{agent, NameService{this, ServiceName, HostName, LocalName, nullptr}};
    }
};

// The exported calls' internals, each with the arguments that make it walk
// and render: the lookups ask for the row whose remote side needs a reverse
// look-up and a service name.
enum class Call { TcpListing, UdpListing, LocalPortInfo, RemotePortInfo };

const char *NameOf(Call call) {
    switch (call) {
        case Call::TcpListing: return "TCP listing";
        case Call::UdpListing: return "UDP listing";
        case Call::LocalPortInfo: return "local port lookup";
        case Call::RemotePortInfo: return "remote port lookup";
    }
    return "?";
}

TEST(ExceptionTest, NothingThrownInsideReachesTheCaller) {
    GuardedBuffer listing(CONNWALK_LISTING_SIZE);
    GuardedBuffer endpoint(CONNWALK_ENDPOINT_SIZE);
    GuardedBuffer state(CONNWALK_STATE_SIZE);
    for (const Part part : {Part::AgentStart, Part::AgentQuery, Part::RowSource, Part::ServiceName,
                            Part::HostName, Part::LocalName}) {
        bool partReached = false;
        for (const Thrown thrown : {Thrown::BadAlloc, Thrown::RuntimeError, Thrown::Integer}) {
            for (const Call call :
                 {Call::TcpListing, Call::UdpListing, Call::LocalPortInfo, Call::RemotePortInfo}) {
                SCOPED_TRACE(std::string(NameOf(call)) + ", thrown from the " + NameOf(part) +
                             ", exception " + std::to_string(static_cast<int>(thrown)));
                ThrowingParts parts(part, thrown);
                listing.Fill();
                endpoint.Fill();
                state.Fill();
                int32_t result = -1;
                bool unwritten = false;
                try {
                    switch (call) {
                        case Call::TcpListing:
                            result = TcpListing(parts.Make(), listing.data);
                            unwritten = listing.UnwrittenFrom(0);
                            break;
                        case Call::UdpListing:
                            result = UdpListing(parts.Make(), listing.data);
                            unwritten = listing.UnwrittenFrom(0);
                            break;
                        case Call::LocalPortInfo:
                            result = TcpPortInfo(parts.Make(), PortSide::Local, 21, endpoint.data,
                                                 state.data, 1);
                            unwritten = UnwrittenLookup(endpoint, state);
                            break;
                        case Call::RemotePortInfo:
                            result = TcpPortInfo(parts.Make(), PortSide::Remote, 40000,
                                                 endpoint.data, state.data, 0);
                            unwritten = UnwrittenLookup(endpoint, state);
                            break;
                    }
                } catch (...) {
                    ADD_FAILURE() << "an exception left the call";
                    continue;
                }
                if (!parts.threw) {
                    // This call never reaches the part: it must go all the way.
                    EXPECT_FALSE(unwritten);
                    EXPECT_GE(result, 1);
                    continue;
                }
                partReached = true;
                EXPECT_TRUE(unwritten);
                if (part == Part::AgentStart) {
                    EXPECT_TRUE(result == 0 || result == 1) << "result " << result;
                } else {
                    EXPECT_EQ(result, 1);
                }
            }
        }
        EXPECT_TRUE(partReached) << "no call reached the " << NameOf(part);
    }
}

}  // namespace
}  // namespace connwalk::testing
