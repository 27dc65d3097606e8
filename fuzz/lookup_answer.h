// One name look-up answered from the back of a fuzz input, as the harnesses'
// name services give it: found or not; a name of any length and any bytes,
// NULs included; now and then an area filled to its end without a NUL, or
// scribbled on by a look-up that finds nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "harness_check.h"

namespace connwalk::fuzz {

struct LookupAnswer {
    bool found = false;
    std::string name;    // what the input held
    size_t written = 0;  // how much of it went into the area

    // What the look-up handed out: up to its first NUL, within what was
    // written.
    std::string_view Given() const {
        return std::string_view(name.data(), std::min(written, name.find('\0')));
    }
};

// Writes the answer into `out` (`size` bytes) as a look-up would; names are
// at most `maxLength` bytes long (the length is read modulo it).
inline LookupAnswer AnswerLookup(FuzzInput &input, char *out, size_t size, size_t maxLength) {
    FUZZ_CHECK(out != nullptr && size > 0);
    LookupAnswer answer;
    const uint8_t flags = input.BackByte();
    const size_t length = (flags & 2) != 0 ? input.BackBytes(2) % maxLength : input.BackByte();
    answer.name = input.BackText(length);
    answer.found = (flags & 1) != 0;
    const bool sloppy = (flags & 0x0C) == 0x0C;
    answer.written = sloppy ? std::min(answer.name.size(), size) : std::min(answer.name.size(), size - 1);
    if (answer.found || sloppy) {
        std::memcpy(out, answer.name.data(), answer.written);
    }
    if (answer.found && answer.written < size) {
        out[answer.written] = '\0';
    }
    return answer;
}

}  // namespace connwalk::fuzz
