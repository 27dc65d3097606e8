// The endpoint texts of a table entry, shared by the listings and the port
// look-ups.
#pragma once

#include "mib/entry.h"
#include "text/texts.h"

namespace connwalk {

// The local side: the machine's name for 0.0.0.0 and 127.0.0.1, the port
// named under `protocol`.
void LocalEndpointText(Naming &naming, const Ipv4Address &address, int32_t port,
                       const char *protocol, char (&out)[kEndpointTextSize]);

// The remote side of a TCP entry: "0.0.0.0:0" when the address is 0.0.0.0,
// whatever the port, since nothing is connected; otherwise the peer's name
// and the port named under "tcp".
void RemoteEndpointText(Naming &naming, const TcpEntry &entry, char (&out)[kEndpointTextSize]);

}  // namespace connwalk
