// The kernel's sockets as table rows, read in one of three ways.
#pragma once

#include "mib/linux/row_source.h"

namespace connwalk::kernel {

// sock_diag, and the /proc/net lists where sock_diag cannot be used. A dump
// that keeps being interrupted fails the read rather than fall back: the
// tables are changing, and a second reader would not see them settle either.
RowSource KernelRows();

// sock_diag alone.
RowSource SockDiagRows();

// The /proc/net lists alone.
RowSource ProcNetRows();

}  // namespace connwalk::kernel
