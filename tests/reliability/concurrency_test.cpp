// The four exported functions called from many threads at once. Each call
// is meant to own everything it touches, so overlapping calls must give
// every thread the answer it would get alone; built with ThreadSanitizer,
// the same run shows any memory that two calls share unguarded.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "library.h"
#include "loopback.h"
#include "well_formed.h"

namespace connwalk::testing {
namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 200;
constexpr size_t kFailuresKept = 20;

// Rows the tables hold for as long as the test runs, and what each function
// must say about them.
struct OwnRows {
    Socket listener = TcpListener("127.0.0.1");
    uint16_t port = LocalPort(listener);
    LoopbackConnection connection = ConnectOverLoopback(listener);
    Socket udp = UdpSocket("127.0.0.1");
    Socket udpAny = UdpSocket("0.0.0.0");

    Record listenerRecord{OwnEndpoint(port, "tcp"), "0.0.0.0:0", "LISTENING"};
    Record clientRecord{OwnEndpoint(connection.clientPort, "tcp"),
                        "localhost:" + PortText(port, "tcp"), "ESTABLISHED"};
    Record udpRecord{OwnEndpoint(LocalPort(udp), "udp")};
    Record udpAnyRecord{OwnEndpoint(LocalPort(udpAny), "udp")};
};

// Failures seen on the worker threads, reported on the test's own thread.
struct Failures {
    std::mutex mutex;
    std::vector<std::string> kept;
    long count = 0;

    void Add(std::string what) {
        const std::lock_guard<std::mutex> lock(mutex);
        ++count;
        if (kept.size() < kFailuresKept) kept.push_back(std::move(what));
    }
};

bool Holds(const std::vector<Record> &records, const Record &record) {
    return std::find(records.begin(), records.end(), record) != records.end();
}

// One call of one function, whose faults go into `failures`.
using Check = std::function<void(Failures &)>;

std::vector<Check> Checks(const OwnRows &rows) {
    const ConnwalkLibrary &library = Connwalk();
    std::vector<Check> checks;
    checks.push_back([&rows, &library](Failures &failures) {
        const ListingCall call = CallListing(library.getTcpEndpoints);
        if (const auto formed = WellFormedListing(Table::Tcp, call); !formed) {
            failures.Add(std::string("GetTCPEndpoints: ") + formed.message());
        } else if (call.result < 3) {
            failures.Add("GetTCPEndpoints returned " + std::to_string(call.result));
        } else {
            const std::vector<Record> records = Records(call.text);
            if (!Holds(records, rows.listenerRecord) || !Holds(records, rows.clientRecord)) {
                failures.Add("GetTCPEndpoints lost a row of the test's own sockets");
            }
        }
    });
    checks.push_back([&rows, &library](Failures &failures) {
        const ListingCall call = CallListing(library.getUdpEndpoints);
        if (const auto formed = WellFormedListing(Table::Udp, call); !formed) {
            failures.Add(std::string("GetUDPEndpoints: ") + formed.message());
        } else if (call.result < 3) {
            failures.Add("GetUDPEndpoints returned " + std::to_string(call.result));
        } else {
            const std::vector<Record> records = Records(call.text);
            if (!Holds(records, rows.udpRecord) || !Holds(records, rows.udpAnyRecord)) {
                failures.Add("GetUDPEndpoints lost a row of the test's own sockets");
            }
        }
    });
    struct Lookup {
        const char *name;
        PortInfoFunction function;
        int32_t skipFirst;
        std::string endpoint;
        const char *state;
    };
    // On the listener's port the listener comes first (its remote side is
    // 0.0.0.0) and the accepted end second; on the remote side only the
    // client's end names the listener's port.
    const std::vector<Lookup> lookups = {
        {"GetTCPLocalPortInfo", library.getTcpLocalPortInfo, 0, "0.0.0.0:0", "LISTENING"},
        {"GetTCPLocalPortInfo skipping one", library.getTcpLocalPortInfo, 1,
         "localhost:" + PortText(rows.connection.clientPort, "tcp"), "ESTABLISHED"},
        {"GetTCPRemotePortInfo", library.getTcpRemotePortInfo, 0,
         "localhost:" + PortText(rows.port, "tcp"), "ESTABLISHED"},
    };
    for (const Lookup &lookup : lookups) {
        checks.push_back([&rows, lookup](Failures &failures) {
            const PortInfoCall call = CallPortInfo(lookup.function, rows.port, lookup.skipFirst);
            if (const auto formed = WellFormedPortInfo(call); !formed) {
                failures.Add(std::string(lookup.name) + ": " + formed.message());
            } else if (call.result != 1 || call.endpoint != lookup.endpoint ||
                       call.state != lookup.state) {
                failures.Add(std::string(lookup.name) + " gave " + std::to_string(call.result) +
                             " \"" + call.endpoint + "\" \"" + call.state + "\", not \"" +
                             lookup.endpoint + "\" \"" + lookup.state + "\"");
            }
        });
    }
    return checks;
}

// Every thread starts together, so that even the first calls into the
// freshly loaded library overlap, and each goes through the functions in an
// order of its own.
TEST(Concurrency, EveryThreadGetsWholeAndCorrectAnswers) {
    ASSERT_NE(Connwalk().getTcpEndpoints, nullptr) << "cannot open " << LibraryPath();
    ASSERT_NE(Connwalk().getUdpEndpoints, nullptr);
    ASSERT_NE(Connwalk().getTcpLocalPortInfo, nullptr);
    ASSERT_NE(Connwalk().getTcpRemotePortInfo, nullptr);
    const OwnRows rows;
    const std::vector<Check> checks = Checks(rows);

    Failures failures;
    std::atomic<long> calls{0};
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                for (size_t i = 0; i < checks.size(); ++i) {
                    checks[(i + static_cast<size_t>(t + round)) % checks.size()](failures);
                    calls.fetch_add(1, std::memory_order_relaxed);
                }
            }
        });
    }
    for (std::thread &thread : threads) thread.join();

    std::printf(
        "[reliability] concurrency: %d threads x %d rounds x %zu calls = %ld calls, %ld faults\n",
        kThreads, kRounds, checks.size(), calls.load(), failures.count);
    EXPECT_EQ(failures.count, 0);
    for (const std::string &failure : failures.kept) ADD_FAILURE() << failure;
}

}  // namespace
}  // namespace connwalk::testing
