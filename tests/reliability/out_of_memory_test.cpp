// Memory running out at every point of a call in turn. The calls are run
// again and again, the first time with the first allocation failing, then
// the second, and so on, until a run makes all its allocations; each run
// must end with one of the call's results, leave the caller's buffers
// untouched unless it finished, and give back everything it took.
//
// The program's operator new is replaced (failing_allocator.cpp), so the
// failures reach the library's own code, the agents' and the look-ups'
// alike. LeakSanitizer, in a sanitized build, sees the rest: memory taken
// with malloc by the C library on the library's behalf.
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "connwalk.h"
#include "exports/listing.h"
#include "exports/port_lookup.h"
#include "failing_allocator.h"
#include "guarded_buffer.h"
#include "library.h"
#include "loopback.h"
#include "mib/linux/kernel_agent.h"
#include "support/fake_names.h"
#include "support/scripted_agent.h"
#include "well_formed.h"

namespace connwalk::testing {
namespace {

// No call of these tables comes near this many allocations; a run that
// still hits the failure here has gone wrong.
constexpr long kMostAllocations = 100000;

// A few rows with every kind of side, in index order.
const std::vector<TcpEntry> kTcpRows = {
    {2, Ip(0, 0, 0, 0), 21, Ip(0, 0, 0, 0), 0},
    {5, Ip(10, 0, 0, 1), 21, Ip(192, 0, 2, 7), 40000},
    {8, Ip(10, 0, 0, 1), 1025, Ip(192, 0, 2, 8), 25},
    {5, Ip(127, 0, 0, 1), 1500, Ip(127, 0, 0, 1), 21},
};
const std::vector<UdpEntry> kUdpRows = {{Ip(0, 0, 0, 0), 53}, {Ip(10, 0, 0, 1), 5353}};

const std::string kTcpListing =
    "HOST:ftp\r0.0.0.0:0\rLISTENING\\"
    "10.0.0.1:ftp\rpeer.example:40000\rESTABLISHED\\"
    "10.0.0.1:1025\r192.0.2.8:smtp\rCLOSE_WAIT\\"
    "HOST:1500\rlocalhost:ftp\rESTABLISHED\\";
const std::string kUdpListing = "HOST:domain\\10.0.0.1:5353\\";

FakeNames Names() {
    FakeNames names = ExampleNames();
    names.hosts["192.0.2.7"] = "peer.example";
    return names;
}

bool ReadTcp(void *, std::vector<TcpEntry> *rows) {
    *rows = kTcpRows;
    return true;
}

bool ReadUdp(void *, std::vector<UdpEntry> *rows) {
    *rows = kUdpRows;
    return true;
}

// The parts of one run, made before the allocator is armed and given back
// before what is live is counted again.
struct Parts {
    ScriptedAgent scripted;
    FakeNames names = Names();
    kernel::RowSource rows{nullptr, ReadTcp, ReadUdp, nullptr};
};

enum class ServiceKind { Scripted, KernelAgentOverRows, Platform };

const char *NameOf(ServiceKind setup) {
    switch (setup) {
        case ServiceKind::Scripted: return "scripted agent";
        case ServiceKind::KernelAgentOverRows: return "kernel agent over fixed rows";
        case ServiceKind::Platform: return "platform services (kernel agent, system look-ups)";
    }
    return "?";
}

void PrintTo(ServiceKind kind, std::ostream *out) { *out << NameOf(kind); }

// Tells whether the agent's start failed, which is what a result of 0
// stands for.
struct StartProbe {
    AgentStarter inner;
    bool failed = false;

    static bool Start(void *state, Agent *agent) {
        auto &probe = *static_cast<StartProbe *>(state);
        probe.failed = true;  // stays so if the start throws
        probe.failed = !probe.inner.start(probe.inner.state, agent);
        return !probe.failed;
    }
    AgentStarter Starter() { return AgentStarter{this, Start}; }
};

enum class Call { TcpListing, UdpListing, LocalPortInfo, RemotePortInfo };

const char *NameOf(Call call) {
    switch (call) {
        case Call::TcpListing: return "TcpListing";
        case Call::UdpListing: return "UdpListing";
        case Call::LocalPortInfo: return "TcpPortInfo local";
        case Call::RemotePortInfo: return "TcpPortInfo remote";
    }
    return "?";
}

// The run's outputs: a listing or a lookup's two texts.
struct Outputs {
    GuardedBuffer listing{CONNWALK_LISTING_SIZE};
    GuardedBuffer endpoint{CONNWALK_ENDPOINT_SIZE};
    GuardedBuffer state{CONNWALK_STATE_SIZE};

    void Fill() {
        listing.Fill();
        endpoint.Fill();
        state.Fill();
    }
};

void PrintTo(Call call, std::ostream *out) { *out << NameOf(call); }

bool IsListing(Call call) { return call == Call::TcpListing || call == Call::UdpListing; }

enum class Kind { NotStarted, Untouched, Complete };

struct Outcome {
    long n = 0;
    Kind kind = Kind::Complete;
};

// "n=0: 0, agent not started; n=1-57: 1, untouched; n=58: complete".
std::string Summary(const std::vector<Outcome> &outcomes) {
    const auto name = [](Kind kind) {
        switch (kind) {
            case Kind::NotStarted: return "0, agent not started";
            case Kind::Untouched: return "1, outputs untouched";
            case Kind::Complete: return "full result";
        }
        return "?";
    };
    std::string text;
    for (size_t i = 0; i < outcomes.size();) {
        size_t j = i;
        while (j + 1 < outcomes.size() && outcomes[j + 1].kind == outcomes[i].kind) ++j;
        if (!text.empty()) text += "; ";
        text += "n=" + std::to_string(outcomes[i].n);
        if (j > i) text += "-" + std::to_string(outcomes[j].n);
        text += ": ";
        text += name(outcomes[i].kind);
        i = j + 1;
    }
    return text;
}

class OutOfMemoryTest : public ::testing::TestWithParam<std::tuple<ServiceKind, Call, bool>> {
  protected:
    void SetUp() override {
        listener_ = TcpListener("127.0.0.1");
        port_ = LocalPort(listener_);
        udp_ = UdpSocket("127.0.0.1");
    }

    // The services of `setup` over `parts`.
    static Services Make(ServiceKind setup, Parts &parts) {
        switch (setup) {
            case ServiceKind::Scripted: {
                std::vector<ScriptedObject> view = TcpTableView(kTcpRows);
                const std::vector<ScriptedObject> udp = UdpTableView(kUdpRows);
                view.insert(view.end(), udp.begin(), udp.end());
                parts.scripted.view = std::move(view);
                return Services{parts.scripted.Starter(), parts.names.Service()};
            }
            case ServiceKind::KernelAgentOverRows:
                return Services{kernel::RowSourceAgent(&parts.rows), parts.names.Service()};
            case ServiceKind::Platform: break;
        }
        return PlatformServices();
    }

    int32_t Run(ServiceKind setup, Call call, const Services &services, Outputs &outputs) const {
        // On the platform the lookups ask for the test's own listener; on
        // the fixed rows for a row whose remote side is looked up and named.
        const bool platform = setup == ServiceKind::Platform;
        switch (call) {
            case Call::TcpListing: return TcpListing(services, outputs.listing.data);
            case Call::UdpListing: return UdpListing(services, outputs.listing.data);
            case Call::LocalPortInfo:
                return TcpPortInfo(services, PortSide::Local, platform ? port_ : 21,
                                   outputs.endpoint.data, outputs.state.data, platform ? 0 : 1);
            case Call::RemotePortInfo:
                return TcpPortInfo(services, PortSide::Remote, platform ? 0 : 25,
                                   outputs.endpoint.data, outputs.state.data, 0);
        }
        return -1;
    }

    static bool Untouched(Call call, const Outputs &outputs) {
        return IsListing(call)
                   ? outputs.listing.UnwrittenFrom(0)
                   : outputs.endpoint.UnwrittenFrom(0) && outputs.state.UnwrittenFrom(0);
    }

    // Whether a finished run gave the whole answer.
    ::testing::AssertionResult Whole(ServiceKind setup, Call call, int32_t result,
                                     const Outputs &outputs) const {
        const std::string listing(outputs.listing.Text());
        const std::string endpoint(outputs.endpoint.Text());
        const std::string state(outputs.state.Text());
        if (setup != ServiceKind::Platform) {
            const bool whole =
                call == Call::TcpListing
                    ? result == static_cast<int32_t>(kTcpListing.size()) && listing == kTcpListing
                : call == Call::UdpListing
                    ? result == static_cast<int32_t>(kUdpListing.size()) && listing == kUdpListing
                : call == Call::LocalPortInfo
                    ? result == 1 && endpoint == "peer.example:40000" && state == "ESTABLISHED"
                    : result == 1 && endpoint == "192.0.2.8:smtp" && state == "CLOSE_WAIT";
            if (whole) return ::testing::AssertionSuccess();
            return ::testing::AssertionFailure() << "result " << result << ", \"" << listing
                                                 << endpoint << "\" \"" << state << "\"";
        }
        // The machine's tables change; the test's own rows must be there.
        if (IsListing(call)) {
            const Table table = call == Call::TcpListing ? Table::Tcp : Table::Udp;
            if (auto formed = WellFormedListing(table, result, listing, false); !formed)
                return formed;
            const std::string own = call == Call::TcpListing
                                        ? OwnEndpoint(port_, "tcp") + "\r0.0.0.0:0\rLISTENING\\"
                                        : OwnEndpoint(LocalPort(udp_), "udp") + "\\";
            if (listing.find(own) != std::string::npos) return ::testing::AssertionSuccess();
            return ::testing::AssertionFailure() << "the test's own row is missing";
        }
        if (result == 1 && endpoint == "0.0.0.0:0" && state == "LISTENING")
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "result " << result << ", \"" << endpoint << "\" \"" << state << "\"";
    }

    Socket listener_;
    uint16_t port_ = 0;
    Socket udp_;
};

TEST_P(OutOfMemoryTest, EveryFailingAllocationEndsTheCallCleanly) {
    const auto [setup, call, persistent] = GetParam();
    Outputs outputs;
    std::vector<Outcome> outcomes;
    outcomes.reserve(4096);

    // Once unarmed, for anything the first call sets up for good.
    {
        Parts parts;
        Outputs warmUp;
        ASSERT_TRUE(Whole(setup, call, Run(setup, call, Make(setup, parts), warmUp), warmUp));
    }

    for (long n = 0;; ++n) {
        ASSERT_LT(n, kMostAllocations) << "the call never got through";
        outputs.Fill();
        const long liveBefore = LiveAllocations();
        int32_t result = -1;
        bool failed = false;
        bool startFailed = false;
        bool escaped = false;
        {
            Parts parts;
            const Services made = Make(setup, parts);
            StartProbe probe{made.agent};
            const Services services{probe.Starter(), made.names};
            FailAllocation(n, persistent);
            try {
                result = Run(setup, call, services, outputs);
            } catch (...) {
                escaped = true;
            }
            failed = StopFailing();
            startFailed = probe.failed;
        }
        const long liveAfter = LiveAllocations();
        SCOPED_TRACE("allocation " + std::to_string(n) + " failing" +
                     (persistent ? " and every one after it" : ""));
        ASSERT_FALSE(escaped) << "an exception left the call";
        EXPECT_EQ(liveAfter, liveBefore) << "allocations left live by the call";

        const bool untouched = Untouched(call, outputs);
        if (!untouched) {
            // A run that finished, failure or not, finished whole; and a
            // listing never writes past its NUL.
            EXPECT_TRUE(Whole(setup, call, result, outputs));
            if (IsListing(call)) {
                EXPECT_TRUE(outputs.listing.UnwrittenFrom(outputs.listing.Text().size() + 1));
            }
            outcomes.push_back({n, Kind::Complete});
        } else if (result == 0) {
            EXPECT_TRUE(startFailed) << "result 0 although the agent started";
            outcomes.push_back({n, Kind::NotStarted});
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_FALSE(startFailed) << "result 1 although the agent did not start";
            outcomes.push_back({n, Kind::Untouched});
        }
        if (!failed) break;
        ASSERT_FALSE(HasFailure()) << "stopping at the first faulty run";
    }
    std::printf("[reliability] oom %s, %s, %s: %s\n", NameOf(call), NameOf(setup),
                persistent ? "every allocation failing from n on" : "allocation n failing alone",
                Summary(outcomes).c_str());
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<ServiceKind, Call, bool>> &info) {
    static const char *const kinds[] = {"Scripted", "KernelAgentOverRows", "Platform"};
    static const char *const calls[] = {"TcpListing", "UdpListing", "LocalPortInfo",
                                        "RemotePortInfo"};
    return std::string(kinds[static_cast<int>(std::get<0>(info.param))]) +
           calls[static_cast<int>(std::get<1>(info.param))] +
           (std::get<2>(info.param) ? "FailingFromThenOn" : "FailingOnce");
}

INSTANTIATE_TEST_SUITE_P(
    Calls, OutOfMemoryTest,
    ::testing::Combine(::testing::Values(ServiceKind::Scripted, ServiceKind::KernelAgentOverRows,
                                         ServiceKind::Platform),
                       ::testing::Values(Call::TcpListing, Call::UdpListing, Call::LocalPortInfo,
                                         Call::RemotePortInfo),
                       ::testing::Bool()),
    CaseName);

}  // namespace
}  // namespace connwalk::testing
