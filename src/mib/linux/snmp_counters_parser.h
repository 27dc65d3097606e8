// Reading the protocol counters of /proc/net/snmp.
//
// Pure and total: any text may be given.
#pragma once

#include <string_view>

#include "mib/linux/row_source.h"

namespace connwalk::kernel {

// Sets the counters of `counters` that `text` holds. The file gives each
// protocol two lines, one of field names and one of numbers, both starting
// with the protocol ("Tcp:"); fields are found by name, so that fields
// added by later kernels change nothing. Counters the text lacks are left
// as they were.
void ParseSnmpCounters(std::string_view text, MibCounters *counters);

}  // namespace connwalk::kernel
