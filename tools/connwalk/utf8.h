// Telling well-formed UTF-8 from stray bytes, for output that must stay
// readable (the table) or valid (JSON) whatever bytes a name holds.
#pragma once

#include <cstddef>
#include <string_view>

namespace connwalk_cli {

struct Utf8Step {
    size_t length = 0;   // bytes taken from the input, at least 1
    bool valid = false;  // false: those bytes are one ill-formed piece
};

// The first character of non-empty `bytes`. An ill-formed piece is its
// maximal subpart (a lead byte and the continuation bytes that still fit
// it), so that one broken character becomes one replacement, not several.
Utf8Step NextUtf8(std::string_view bytes);

}  // namespace connwalk_cli
