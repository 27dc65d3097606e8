// What every harness checks with: invariants that end the run like a crash,
// and caller-owned areas whose overruns are seen with or without
// AddressSanitizer.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__SANITIZE_ADDRESS__)
#define CONNWALK_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CONNWALK_FUZZ_ASAN 1
#endif
#endif

// A broken invariant aborts, so that libFuzzer and the replay driver both
// report the input that broke it.
#define FUZZ_CHECK(condition)                                             \
    do {                                                                  \
        if (!(condition)) {                                               \
            ::connwalk::fuzz::Fail(#condition, __FILE__, __LINE__);       \
        }                                                                 \
    } while (0)

namespace connwalk::fuzz {

[[noreturn]] inline void Fail(const char *what, const char *file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

#if defined(CONNWALK_FUZZ_ASAN)
// AddressSanitizer reports the first byte touched past an exactly-sized
// heap block.
inline constexpr size_t kGuardRows = 0;
#else
// Without it, a guard follows the area and must come back unchanged.
inline constexpr size_t kGuardRows = 1;
#endif

inline constexpr unsigned char kFill = 0xA5;

// Whether all `size` bytes are kFill: each byte equals the next, and the
// first is kFill. One library call rather than a loop, which a coverage
// build would instrument byte by byte.
inline bool Filled(const char *bytes, size_t size) {
    return size == 0 ||
           (static_cast<unsigned char>(bytes[0]) == kFill && std::memcmp(bytes, bytes + 1, size - 1) == 0);
}

// `N` bytes that a caller owns, on the heap, filled with kFill (never a NUL,
// so that a missing terminator is not hidden by zeroed memory).
template <size_t N>
struct CallerArea {
    std::unique_ptr<char[][N]> rows{new char[1 + kGuardRows][N]};

    CallerArea() { std::memset(rows.get(), kFill, (1 + kGuardRows) * N); }

    char (&Area())[N] { return rows[0]; }
    char *Data() { return rows[0]; }

    bool GuardIntact() const {
        return kGuardRows == 0 || Filled(rows[1], kGuardRows * N);
    }

    // Every byte as it was filled.
    bool Untouched() const { return Filled(rows[0], N) && GuardIntact(); }

    // Fills the area and its guard again, for the next run.
    void Refill() { std::memset(rows.get(), kFill, (1 + kGuardRows) * N); }

    // The length of the text in the area, or N when it has no NUL there.
    size_t TextLength() const {
        const void *nul = std::memchr(rows[0], '\0', N);
        return nul == nullptr ? N : static_cast<size_t>(static_cast<const char *>(nul) - rows[0]);
    }
};

}  // namespace connwalk::fuzz
