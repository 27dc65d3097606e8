// Reading the socket lists of /proc/net/tcp, tcp6, udp and udp6.
//
// Pure and total: any text may be given. Lines that are not socket lines
// (the heading, anything cut or garbled) are passed over.
#pragma once

#include <string_view>
#include <vector>

#include "mib/linux/socket_rows.h"

namespace connwalk::kernel {

// Appends the socket of every well-formed line of `text` to `sockets`. The
// family of a line follows from the length of its addresses. The files do
// not tell IPV6_V6ONLY, so every IPv6 socket's V6Only is Unknown.
void ParseProcNet(std::string_view text, std::vector<KernelSocket> *sockets);

}  // namespace connwalk::kernel
