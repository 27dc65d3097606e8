// The texts of an entry: port, host, endpoint and state.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "mib/entry.h"
#include "text/name_service.h"

namespace connwalk {

inline constexpr size_t kNameTextSize = 256;      // a port text or host text, NUL included
inline constexpr size_t kEndpointTextSize = 512;  // host text, ':', port text and NUL
inline constexpr size_t kStateLabelSize = 32;     // a state label field

// Reverse look-ups stop once a call has spent this long in them.
inline constexpr std::chrono::milliseconds kReverseLookupBudget{2000};

// The look-ups of one call: each answer is asked for once and reused, and
// reverse look-ups share one time budget. Nothing outlives the call.
struct Naming {
    const NameService &service;
    // Names by (port, protocol). Filled port by port as they are asked for,
    // or, where the service can list its database, from one reading of it
    // by 16-bit port; a port that the reading did not name then has none.
    std::map<std::pair<int32_t, std::string>, std::string> services;
    bool serviceDatabaseTried = false;
    bool serviceDatabaseRead = false;
    std::map<uint32_t, std::string> hosts;
    std::string localName;
    bool haveLocalName = false;
    std::chrono::steady_clock::duration reverseTime{};

    explicit Naming(const NameService &names) : service(names) {}
};

// The service name of `port` under `protocol` ("tcp" or "udp"), or the port
// as a signed decimal number.
void PortText(Naming &naming, int32_t port, const char *protocol, char (&out)[kNameTextSize]);

// The machine's name for 0.0.0.0 and 127.0.0.1 with `useLocalName`; without
// it "0.0.0.0" and "localhost"; any other address by reverse look-up, or as
// a dotted quad.
void HostText(Naming &naming, bool useLocalName, const Ipv4Address &address,
              char (&out)[kNameTextSize]);

// "host:port".
void EndpointText(const char *host, const char *port, char (&out)[kEndpointTextSize]);

// The label of a TCP state code; codes outside the table read "DELETE_TCB"
// (12) or "???".
const char *StateLabel(int32_t code);

}  // namespace connwalk
