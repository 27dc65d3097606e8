// What the process holds, as the kernel counts it.
#pragma once

namespace connwalk::testing {

// Open file descriptors (/proc/self/fd), the one used to count them
// included; -1 when they cannot be counted.
long OpenDescriptors();

// Resident memory in KiB (/proc/self/statm).
long ResidentKiB();

}  // namespace connwalk::testing
