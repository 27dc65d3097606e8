// Reading the kernel's answer to a sock_diag dump (SOCK_DIAG_BY_FAMILY with
// NLM_F_DUMP): one datagram of netlink messages at a time.
//
// Pure and total: any bytes may be given, and nothing outside them is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mib/linux/socket_rows.h"

namespace connwalk::kernel {

enum class DiagEnd {
    More,       // the dump goes on in the next datagram
    Done,       // NLMSG_DONE without an error: the dump is complete
    Failed,     // NLMSG_ERROR, an error inside NLMSG_DONE, or a malformed message
};

struct DiagProgress {
    DiagEnd end = DiagEnd::More;
    // Some message carried NLM_F_DUMP_INTR: the tables changed during the
    // dump, which may have missed or repeated sockets; it must be taken again.
    bool interrupted = false;
    int error = 0;  // the errno the kernel reported (positive), 0 if none
};

// Appends the sockets described in `bytes` (one datagram) to `sockets`, and
// tells how the dump stands. Messages after NLMSG_DONE or an error are not
// read. Messages of other types are skipped.
DiagProgress ParseDiagMessages(const uint8_t *bytes, size_t size, std::vector<KernelSocket> *sockets);

}  // namespace connwalk::kernel
