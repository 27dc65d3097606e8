// A name service that a test fills in, counting what it is asked and
// keeping a clock of its own so that slow look-ups cost no real time.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "mib/entry.h"
#include "text/name_service.h"

namespace connwalk::testing {

struct FakeNames {
    std::map<std::pair<int32_t, std::string>, std::string> services;  // (port, protocol)
    std::map<std::string, std::string> hosts;                          // dotted quad to name
    std::string local = "HOST";
    bool localFails = false;
    // Each reverse look-up moves the clock on by this much.
    std::chrono::milliseconds reverseDelay{0};

    // The service database as one reading lists it, in its order, when
    // `listsDatabase` is set; a failing reading stops after the first entry.
    struct ServiceEntry {
        uint16_t port;
        std::string protocol;
        std::string name;
    };
    bool listsDatabase = false;
    bool listingFails = false;
    std::vector<ServiceEntry> database;

    long serviceCalls = 0;
    long listingCalls = 0;
    long hostCalls = 0;
    long localCalls = 0;
    std::chrono::steady_clock::time_point clock{};

    NameService Service();
};

// The usual services of the examples: ftp 21, smtp 25, domain 53 (tcp and
// udp), http 80.
FakeNames ExampleNames();

std::string Dotted(const Ipv4Address &address);

}  // namespace connwalk::testing
