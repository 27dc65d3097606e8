// The in-process MIB-II agent of Linux: the tcp and udp groups over the
// kernel's sockets, answering GETNEXT as an SNMP extension agent does.
#pragma once

#include "mib/agent.h"
#include "mib/linux/row_source.h"

namespace connwalk::kernel {

// An agent over the rows that `*source` gives. Each started agent keeps a
// copy of the record and its own snapshot; `source->state`, if any, must
// outlive the agents started.
AgentStarter RowSourceAgent(RowSource *source);

}  // namespace connwalk::kernel
