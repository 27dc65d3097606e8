#include "failing_allocator.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace connwalk::testing {

namespace {

std::atomic<bool> armed{false};
std::atomic<long> countdown{0};
std::atomic<bool> persistentFailure{false};
std::atomic<bool> failed{false};
std::atomic<long> live{0};

bool ShouldFail() {
    if (!armed.load(std::memory_order_relaxed)) return false;
    if (failed.load(std::memory_order_relaxed) && persistentFailure.load(std::memory_order_relaxed))
        return true;
    if (countdown.fetch_sub(1, std::memory_order_relaxed) == 0) {
        failed.store(true, std::memory_order_relaxed);
        return true;
    }
    return false;
}

void *Allocate(std::size_t size, std::size_t alignment) {
    if (ShouldFail()) return nullptr;
    if (size == 0) size = 1;
    void *block = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        block = std::malloc(size);
    } else if (posix_memalign(&block, alignment, size) != 0) {
        block = nullptr;
    }
    if (block != nullptr) live.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void *AllocateOrThrow(std::size_t size, std::size_t alignment) {
    void *block = Allocate(size, alignment);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void Release(void *block) {
    if (block == nullptr) return;
    live.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

constexpr std::size_t kPlain = alignof(std::max_align_t);

}  // namespace

void FailAllocation(long n, bool persistent) {
    failed = false;
    persistentFailure = persistent;
    countdown = n;
    armed = true;
}

bool StopFailing() {
    armed = false;
    return failed.load();
}

bool AllocationFailed() { return failed.load(); }

long LiveAllocations() { return live.load(); }

}  // namespace connwalk::testing

void *operator new(std::size_t size) {
    return connwalk::testing::AllocateOrThrow(size, connwalk::testing::kPlain);
}
void *operator new[](std::size_t size) {
    return connwalk::testing::AllocateOrThrow(size, connwalk::testing::kPlain);
}
void *operator new(std::size_t size, std::align_val_t alignment) {
    return connwalk::testing::AllocateOrThrow(size, static_cast<std::size_t>(alignment));
}
void *operator new[](std::size_t size, std::align_val_t alignment) {
    return connwalk::testing::AllocateOrThrow(size, static_cast<std::size_t>(alignment));
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return connwalk::testing::Allocate(size, connwalk::testing::kPlain);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return connwalk::testing::Allocate(size, connwalk::testing::kPlain);
}
void *operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept {
    return connwalk::testing::Allocate(size, static_cast<std::size_t>(alignment));
}
void *operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t &) noexcept {
    return connwalk::testing::Allocate(size, static_cast<std::size_t>(alignment));
}

void operator delete(void *block) noexcept { connwalk::testing::Release(block); }
void operator delete[](void *block) noexcept { connwalk::testing::Release(block); }
void operator delete(void *block, std::size_t) noexcept { connwalk::testing::Release(block); }
void operator delete[](void *block, std::size_t) noexcept { connwalk::testing::Release(block); }
void operator delete(void *block, std::align_val_t) noexcept { connwalk::testing::Release(block); }
void operator delete[](void *block, std::align_val_t) noexcept {
    connwalk::testing::Release(block);
}
void operator delete(void *block, std::size_t, std::align_val_t) noexcept {
    connwalk::testing::Release(block);
}
void operator delete[](void *block, std::size_t, std::align_val_t) noexcept {
    connwalk::testing::Release(block);
}
void operator delete(void *block, const std::nothrow_t &) noexcept {
    connwalk::testing::Release(block);
}
void operator delete[](void *block, const std::nothrow_t &) noexcept {
    connwalk::testing::Release(block);
}
void operator delete(void *block, std::align_val_t, const std::nothrow_t &) noexcept {
    connwalk::testing::Release(block);
}
void operator delete[](void *block, std::align_val_t, const std::nothrow_t &) noexcept {
    connwalk::testing::Release(block);
}
