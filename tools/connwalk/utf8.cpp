#include "utf8.h"

#include <cstdint>

namespace connwalk_cli {

Utf8Step NextUtf8(std::string_view bytes) {
    const auto lead = static_cast<uint8_t>(bytes[0]);
    if (lead < 0x80) return {1, true};

    // Continuation count and the range allowed for the second byte, which is
    // narrower after E0, ED, F0 and F4 to rule out overlong forms, surrogates
    // and code points past U+10FFFF.
    size_t continuations = 0;
    uint8_t secondLow = 0x80;
    uint8_t secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuations = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuations = 2;
        if (lead == 0xE0) secondLow = 0xA0;
        if (lead == 0xED) secondHigh = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuations = 3;
        if (lead == 0xF0) secondLow = 0x90;
        if (lead == 0xF4) secondHigh = 0x8F;
    } else {
        return {1, false};
    }

    for (size_t k = 1; k <= continuations; ++k) {
        if (k >= bytes.size()) return {k, false};
        const auto byte = static_cast<uint8_t>(bytes[k]);
        const uint8_t low = k == 1 ? secondLow : uint8_t{0x80};
        const uint8_t high = k == 1 ? secondHigh : uint8_t{0xBF};
        if (byte < low || byte > high) return {k, false};
    }
    return {continuations + 1, true};
}

}  // namespace connwalk_cli
