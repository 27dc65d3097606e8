// A process that calls the library for as long as it runs must not pay for
// it: after many calls of each function the process holds the same
// descriptors and no more resident memory than after a few.
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "connwalk.h"
#include "library.h"
#include "loopback.h"
#include "process_usage.h"
#include "sanitizers.h"

#ifdef CONNWALK_TEST_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

namespace connwalk::testing {
namespace {

constexpr int kWarmUpCalls = 500;
constexpr int kCalls = 10000;
constexpr int kShortCalls = 200;
constexpr long kRssToleranceKiB = 1024;

struct Usage {
    long descriptors = 0;
    long residentKiB = 0;
};

Usage Measure() { return Usage{OpenDescriptors(), ResidentKiB()}; }

// One function, called the way a program calls it: into buffers of the
// promised sizes that live as long as the program. The test's own sockets
// give every call rows to render, so that each goes all the way through.
struct Subject {
    const char *name;
    std::function<bool()> call;  // true when the result was the expected kind
};

class LeakTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Connwalk().getTcpEndpoints, nullptr) << "cannot open " << LibraryPath();
        listener_ = TcpListener("127.0.0.1");
        port_ = LocalPort(listener_);
        connection_ = ConnectOverLoopback(listener_);
        udp_ = UdpSocket("127.0.0.1");
        listing_.assign(CONNWALK_LISTING_SIZE, '\0');

        const ConnwalkLibrary &library = Connwalk();
        subjects_ = {
            {"GetTCPEndpoints",
             [this, &library] { return library.getTcpEndpoints(listing_.data()) >= 3; }},
            {"GetUDPEndpoints",
             [this, &library] { return library.getUdpEndpoints(listing_.data()) >= 3; }},
            {"GetTCPLocalPortInfo",
             [this, &library] {
                 return library.getTcpLocalPortInfo(port_, endpoint_, state_, 1) == 1;
             }},
            {"GetTCPRemotePortInfo",
             [this, &library] {
                 return library.getTcpRemotePortInfo(port_, endpoint_, state_, 0) == 1;
             }},
        };
    }

    // Calls `subject` `count` times; the number of calls whose result was
    // not the expected kind.
    static long Repeat(const Subject &subject, int count) {
        long unexpected = 0;
        for (int i = 0; i < count; ++i) {
            if (!subject.call()) ++unexpected;
        }
        return unexpected;
    }

    Socket listener_;
    uint16_t port_ = 0;
    LoopbackConnection connection_;
    Socket udp_;
    std::vector<char> listing_;
    char endpoint_[CONNWALK_ENDPOINT_SIZE] = {};
    char state_[CONNWALK_STATE_SIZE] = {};
    std::vector<Subject> subjects_;
};

TEST_F(LeakTest, ManyCallsKeepDescriptorsAndResidentMemoryFlat) {
    if (kSanitized) {
        GTEST_SKIP()
            << "a sanitizer's quarantine and shadow memory grow resident memory by design; "
               "the short run below covers this build";
    }
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    for (const Subject &subject : subjects_) {
        SCOPED_TRACE(subject.name);
        EXPECT_EQ(Repeat(subject, kWarmUpCalls), 0);
        const Usage before = Measure();
        const auto from = Clock::now();
        const long unexpected = Repeat(subject, kCalls);
        const double seconds = std::chrono::duration<double>(Clock::now() - from).count();
        const Usage after = Measure();
        std::printf(
            "[reliability] leak %s: %d calls after %d warm-up calls in %.1f s; "
            "descriptors %ld -> %ld; resident %ld KiB -> %ld KiB (%+ld KiB)\n",
            subject.name, kCalls, kWarmUpCalls, seconds, before.descriptors, after.descriptors,
            before.residentKiB, after.residentKiB, after.residentKiB - before.residentKiB);
        std::fflush(stdout);
        EXPECT_EQ(unexpected, 0);
        EXPECT_EQ(after.descriptors, before.descriptors);
        EXPECT_LT(after.residentKiB - before.residentKiB, kRssToleranceKiB);
    }
    std::printf("[reliability] leak: %d calls of each of %zu functions in %.1f s\n",
                kWarmUpCalls + kCalls, subjects_.size(),
                std::chrono::duration<double>(Clock::now() - started).count());
}

// Few enough calls for a sanitized build; there LeakSanitizer looks for
// memory that no pointer reaches any more once the calls are done.
TEST_F(LeakTest, FewCallsLeaveNoDescriptorsAndNoUnreachableMemory) {
    for (const Subject &subject : subjects_) {
        SCOPED_TRACE(subject.name);
        EXPECT_EQ(Repeat(subject, 1), 0);
        const Usage before = Measure();
        EXPECT_EQ(Repeat(subject, kShortCalls), 0);
        const Usage after = Measure();
        std::printf("[reliability] leak %s: %d calls; descriptors %ld -> %ld\n", subject.name,
                    kShortCalls, before.descriptors, after.descriptors);
        EXPECT_EQ(after.descriptors, before.descriptors);
    }
#ifdef CONNWALK_TEST_LEAK_CHECKED
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0)
        << "LeakSanitizer found leaks; see its report above";
#endif
}

}  // namespace
}  // namespace connwalk::testing
