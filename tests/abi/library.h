// The built shared library, loaded by path the way a calling program loads
// it, and the texts it is expected to give, made with the same system
// look-ups that it makes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "connwalk.h"

namespace connwalk::testing {

using ListingFunction = int32_t(CONNWALK_CALL *)(char *);
using PortInfoFunction = int32_t(CONNWALK_CALL *)(int32_t, char *, char *, int32_t);

struct ConnwalkLibrary {
    ListingFunction getTcpEndpoints = nullptr;
    ListingFunction getUdpEndpoints = nullptr;
    PortInfoFunction getTcpLocalPortInfo = nullptr;
    PortInfoFunction getTcpRemotePortInfo = nullptr;
};

// Path of the built library file.
const char *LibraryPath();

// The library, opened once per process; empty pointers if it could not be
// opened or lacks a function (the exports test says which).
const ConnwalkLibrary &Connwalk();

// A listing call's result and the text it left in a buffer of
// CONNWALK_LISTING_SIZE bytes that held a marker before the call.
struct ListingCall {
    int32_t result = -1;
    std::string text;
    bool untouched = false;  // the marker is still there
};
ListingCall CallListing(ListingFunction function);

// A lookup's result and its two outputs, whose buffers held markers.
struct PortInfoCall {
    int32_t result = -1;
    std::string endpoint;
    std::string state;
    bool untouched = false;  // both markers are still there
};
PortInfoCall CallPortInfo(PortInfoFunction function, int32_t port, int32_t skipFirst);

// A listing taken apart at its backslashes and carriage returns. Bytes after
// the last backslash, which a well-formed listing never has, make a record.
using Record = std::vector<std::string>;
std::vector<Record> Records(std::string_view listing);

// The machine's name as gethostname gives it.
std::string HostName();

// The service name of `port` under `protocol`, or the port in decimal.
std::string PortText(uint16_t port, const char *protocol);

// What the library shows for a local endpoint on 0.0.0.0 or 127.0.0.1.
std::string OwnEndpoint(uint16_t port, const char *protocol);

}  // namespace connwalk::testing
