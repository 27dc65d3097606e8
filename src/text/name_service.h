// The system's name look-ups, as the texts use them. Filled by the platform
// (the C library on Linux, Windows Sockets on Windows) or by a test.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "mib/entry.h"

namespace connwalk {

using ServiceVisitor = void (*)(void *context, uint16_t port, const char *protocol,
                                const char *name);

// Each look-up writes a NUL-terminated name of at most `size` bytes into
// `out`, cut short when longer, and returns true; or returns false when it
// has no name, leaving `out` as it found it.
struct NameService {
    void *state = nullptr;
    // The official name of `port` (host order) under `protocol` ("tcp",
    // "udp"), not an alias.
    bool (*serviceName)(void *state, int32_t port, const char *protocol, char *out,
                        size_t size) = nullptr;
    // The official name of `address` from a reverse look-up.
    bool (*hostName)(void *state, const Ipv4Address &address, char *out, size_t size) = nullptr;
    // The machine's own name.
    bool (*localName)(void *state, char *out, size_t size) = nullptr;
    // The clock that bounds the time spent in reverse look-ups; null means
    // the steady clock.
    std::chrono::steady_clock::time_point (*now)(void *state) = nullptr;
    // Hands every entry of the service database to `visit`, in the
    // database's order: port (host order), protocol and official name.
    // Returns false when the database cannot be read to its end. Optional:
    // reading the database once serves a whole listing, where asking port
    // by port reads it once per port.
    bool (*eachService)(void *state, ServiceVisitor visit, void *context) = nullptr;
};

// The platform's own look-ups.
NameService PlatformNames();

}  // namespace connwalk
