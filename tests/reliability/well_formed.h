// What every call leaves for its caller, whatever the tables held at the
// time: the rules a caller splitting a listing or reading a lookup's outputs
// relies on, checked on results taken through the C ABI.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "library.h"

namespace connwalk::testing {

enum class Table { Tcp, Udp };

// A listing call's outcome: 0 with the buffer untouched or an empty string;
// 1 with the buffer untouched; or a length of at least 3 that is the
// listing's length, under CONNWALK_LISTING_SIZE, made of whole records (three
// fields for TCP, one for UDP, each endpoint with its colon, each TCP state a
// known label) with no newline anywhere.
::testing::AssertionResult WellFormedListing(Table table, const ListingCall &call);

// The same for a call that returned `result` and left `text` in a buffer
// that held a marker before the call; `untouched` tells whether the marker
// survived.
::testing::AssertionResult WellFormedListing(Table table, int32_t result, std::string_view text,
                                             bool untouched);

// A lookup's outcome: 0 with both outputs untouched; 1 with both untouched
// (a failed walk) or both written, an endpoint under CONNWALK_ENDPOINT_SIZE
// with its colon and a known state label.
::testing::AssertionResult WellFormedPortInfo(const PortInfoCall &call);

// Whether `label` is one of the TCP state labels the library gives.
bool IsStateLabel(std::string_view label);

// The port of an endpoint text "host:port" when its port text is a number;
// empty when it is a service name or not an endpoint.
std::optional<uint16_t> NumericPort(std::string_view endpoint);

// The host text of an endpoint text.
std::string_view HostOf(std::string_view endpoint);

}  // namespace connwalk::testing
