// Where the agent's rows come from: the kernel, or a test's own rows.
#pragma once

#include <cstdint>
#include <vector>

#include "mib/entry.h"

namespace connwalk::kernel {

// The scalars served around the tables, by their object number in their
// group: tcp[14] is tcpInErrs, udp[1] udpInDatagrams. Numbers are kept as
// the kernel counts them (a negative count, such as the kernel's "no limit"
// of -1 for tcpMaxConn, in two's complement); the agent narrows them to
// each object's type.
struct MibCounters {
    uint64_t tcp[16] = {};
    uint64_t udp[5] = {};
};

// Each function fills its output (rows in any order, duplicates allowed)
// and returns false when the data could not be read. They may throw
// std::bad_alloc. `state` is passed through.
struct RowSource {
    void *state = nullptr;
    bool (*readTcp)(void *state, std::vector<TcpEntry> *rows) = nullptr;
    bool (*readUdp)(void *state, std::vector<UdpEntry> *rows) = nullptr;
    bool (*readCounters)(void *state, MibCounters *counters) = nullptr;
};

}  // namespace connwalk::kernel
