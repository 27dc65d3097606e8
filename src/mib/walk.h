// Walking a table of the agent with GETNEXT, cell by cell, into entries.
#pragma once

#include <vector>

#include "mib/agent.h"
#include "mib/entry.h"

namespace connwalk {

enum class WalkEnd { Complete, QueryFailed };

// The object names of the two tables' entries (1.3.6.1.2.1.6.13.1 and
// 1.3.6.1.2.1.7.5.1); a cell's name is this prefix, the column number and
// the row index.
inline constexpr uint32_t kTcpConnEntry[] = {1, 3, 6, 1, 2, 1, 6, 13, 1};
inline constexpr uint32_t kUdpEntry[] = {1, 3, 6, 1, 2, 1, 7, 5, 1};

// Fill `entries` (emptied first) with the rows of the agent's table, in the
// agent's row order. Rows whose cells the agent did not all deliver are
// left out. May throw std::bad_alloc.
WalkEnd WalkTcpTable(const Agent &agent, std::vector<TcpEntry> &entries);
WalkEnd WalkUdpTable(const Agent &agent, std::vector<UdpEntry> &entries);

}  // namespace connwalk
