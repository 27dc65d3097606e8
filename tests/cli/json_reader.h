// A strict reader of JSON text (RFC 8259), so that tests can check that the
// command's output is JSON and look inside it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace connwalk::testing {

struct JsonValue {
    enum class Kind { Null, Boolean, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    std::string text;  // a string's UTF-8 bytes, or a number as written
    std::vector<JsonValue> items;             // an array's items, or an object's values
    std::vector<std::string> memberNames;     // an object's names, one per item

    // The member called `name`, or null.
    const JsonValue *Member(std::string_view name) const;
};

// The value of `text`, or nothing when `text` is not one JSON value with
// optional white space around it.
std::optional<JsonValue> ReadJson(std::string_view text);

}  // namespace connwalk::testing
