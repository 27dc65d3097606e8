// Connections and lookup answers as JSON.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "records.h"

namespace connwalk_cli {

// `bytes` as a JSON string, quotes included. Well-formed UTF-8 passes as it
// is; quotes and backslashes are escaped, control characters (and DEL) are
// written as \u00XX, and each ill-formed piece of UTF-8 becomes \ufffd, so
// that any name still yields valid JSON.
std::string JsonString(std::string_view bytes);

// An array with one object per connection, one per line:
//   {"protocol":"tcp","local":..,"remote":..,"state":..}
// A UDP listener has "protocol":"udp" and null as its remote and state.
std::string FormatJson(const std::vector<Connection> &connections);

// One lookup answer: {"remote":..,"state":..}.
std::string FormatPortInfoJson(std::string_view remote, std::string_view state);

}  // namespace connwalk_cli
