// Reading whole files of /proc, the fallback where sock_diag is not
// available.
#pragma once

#include <string>
#include <vector>

#include "mib/linux/socket_rows.h"

namespace connwalk::kernel {

enum class FileRead { Read, Missing, Failed };

// Reads the whole of `path` into `text` in large reads (a /proc file is made
// afresh on each read() call, so small reads cost many passes over the
// kernel's tables). May throw std::bad_alloc.
FileRead ReadWholeFile(const char *path, std::string *text);

// Appends the sockets of an IPv4 list (/proc/net/tcp) and its IPv6 sibling
// (/proc/net/tcp6) to `sockets`. A missing IPv6 list means a kernel without
// IPv6, and no IPv6 sockets. False when a list could not be read; `sockets`
// is then left as it was.
bool ReadProcSockets(const char *ipv4Path, const char *ipv6Path, std::vector<KernelSocket> *sockets);

// The system's default for IPV6_V6ONLY (net.ipv6.bindv6only); false, the
// kernel's own default, when it cannot be read.
bool SystemV6OnlyDefault();

}  // namespace connwalk::kernel
