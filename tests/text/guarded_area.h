// An output area followed by guard bytes, so that a test sees any write past
// the area's end. The area itself starts filled with the guard pattern too,
// so that a missing NUL is not hidden by a zeroed buffer.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace connwalk::testing {

inline constexpr char kGuardByte = '\x5a';

template <size_t N>
struct GuardedArea {
    static constexpr size_t kGuardSize = 64;
    char bytes[N + kGuardSize];

    GuardedArea() { std::memset(bytes, kGuardByte, sizeof bytes); }

    char (&Area())[N] { return *reinterpret_cast<char(*)[N]>(bytes); }

    // The text up to its NUL, searched for within the area only.
    std::string Text() const {
        const void *end = std::memchr(bytes, '\0', N);
        return end == nullptr ? std::string("<no NUL in area>")
                              : std::string(bytes, static_cast<const char *>(end));
    }

    bool GuardIntact() const {
        for (size_t i = N; i < sizeof bytes; ++i) {
            if (bytes[i] != kGuardByte) {
                return false;
            }
        }
        return true;
    }
};

}  // namespace connwalk::testing
