// Taking a dump of the kernel's sockets through NETLINK_SOCK_DIAG, the
// interface `ss` uses.
#pragma once

#include <cstdint>
#include <vector>

#include "mib/linux/socket_rows.h"

namespace connwalk::kernel {

enum class DumpResult {
    Complete,
    Interrupted,  // every attempt was interrupted by changes to the tables
    Unavailable,  // sock_diag could not be used here, or it reported an error
};

// Takes the sockets of a dump a datagram at a time, so that a large table
// is turned into rows as it arrives instead of being held as a list of
// sockets first. `restart` drops what `take` was given: the dump is being
// taken again.
struct SocketSink {
    void *state = nullptr;
    void (*take)(void *state, const std::vector<KernelSocket> &sockets) = nullptr;
    void (*restart)(void *state) = nullptr;
};

// Hands every socket of `family` (AF_INET or AF_INET6) and `protocol`
// (IPPROTO_TCP or IPPROTO_UDP), in every state, to `sink`. A dump that the
// kernel marks interrupted is taken again, a few times; on any result but
// Complete the sink has been restarted. May throw std::bad_alloc.
DumpResult DumpSockets(int family, uint8_t protocol, SocketSink sink);

}  // namespace connwalk::kernel
