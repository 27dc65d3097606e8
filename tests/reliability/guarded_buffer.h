// A caller's buffer of an exact size that ends where an inaccessible page
// begins: a write past its last byte faults at once instead of landing in
// someone else's memory. Filled with a pattern, so that what a call did not
// write can be told from what it did.
#pragma once

#include <cstddef>
#include <string_view>

namespace connwalk::testing {

inline constexpr unsigned char kUnwritten = 0xA5;

struct GuardedBuffer {
    void *mapping = nullptr;
    size_t mappingSize = 0;
    char *data = nullptr;  // `size` bytes, the last right before the guard page
    size_t size = 0;

    explicit GuardedBuffer(size_t bytes);
    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;
    ~GuardedBuffer();

    // Every byte back to the pattern.
    void Fill();
    // Whether bytes [from, size) still hold the pattern.
    bool UnwrittenFrom(size_t from) const;
    // The text up to the first NUL, looked for within the buffer only.
    std::string_view Text() const;
};

}  // namespace connwalk::testing
