// The library's four functions, with their results told apart. A result
// code alone does not say everything (0 is both an empty table and an agent
// that did not start; 1 is both a match and a failed query), so every call
// hands the library buffers that hold a marker, and what is left of the
// marker afterwards settles it.
#pragma once

#include <cstdint>
#include <string>

namespace connwalk_cli {

enum class Outcome { Found, NoMatch, AgentDidNotStart, QueryFailed };

struct ListingAnswer {
    Outcome outcome = Outcome::QueryFailed;  // Found or a failure
    std::string listing;                     // with Found: the bytes, maybe none
};

struct PortInfoAnswer {
    Outcome outcome = Outcome::QueryFailed;
    std::string remote;  // with Found
    std::string state;   // with Found
};

ListingAnswer TcpListing();
ListingAnswer UdpListing();

// The first (or with `second` the second) TCP connection whose local or
// remote port is `port`.
PortInfoAnswer LocalPortInfo(int32_t port, bool second);
PortInfoAnswer RemotePortInfo(int32_t port, bool second);

}  // namespace connwalk_cli
