// The program's operator new, replaced by one that counts what is live and
// fails on demand: the n-th allocation after arming throws std::bad_alloc
// (or, for the nothrow forms, gives null), as if memory had run out just
// there. Linking failing_allocator.cpp into a test program replaces the
// global operators of the whole program.
#pragma once

namespace connwalk::testing {

// From now on, the allocation numbered `n` (counting from 0) fails; with
// `persistent`, every one after it fails too.
void FailAllocation(long n, bool persistent);

// Stops failing. Returns whether any allocation failed since arming.
bool StopFailing();

// Whether an allocation has failed since the allocator was armed.
bool AllocationFailed();

// Allocations made through operator new and not yet deleted.
long LiveAllocations();

}  // namespace connwalk::testing
