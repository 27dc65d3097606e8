#include "queries.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "connwalk.h"

namespace connwalk_cli {

namespace {

// No name or label the library writes starts with these bytes, and it fits
// the smallest buffer.
constexpr std::string_view kMarker = "\x01\x02 untouched \x03";
static_assert(kMarker.size() + 1 <= CONNWALK_STATE_SIZE);

using ListingFunction = int32_t(CONNWALK_CALL *)(char *);
using PortInfoFunction = int32_t(CONNWALK_CALL *)(int32_t, char *, char *, int32_t);

std::vector<char> MarkedBuffer(size_t size) {
    std::vector<char> buffer(size, '\0');
    std::memcpy(buffer.data(), kMarker.data(), kMarker.size());
    return buffer;
}

bool StillMarked(const std::vector<char> &buffer) {
    return std::memcmp(buffer.data(), kMarker.data(), kMarker.size()) == 0 &&
           buffer[kMarker.size()] == '\0';
}

// The text at the start of `buffer`, never read past its end even if the
// library left no NUL.
std::string TextIn(const std::vector<char> &buffer) {
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

ListingAnswer Listing(ListingFunction function) {
    std::vector<char> buffer = MarkedBuffer(CONNWALK_LISTING_SIZE);
    const int32_t result = function(buffer.data());
    if (result == 1 || result < 0) return {Outcome::QueryFailed, {}};
    if (result == 0 && StillMarked(buffer)) return {Outcome::AgentDidNotStart, {}};
    return {Outcome::Found, TextIn(buffer)};
}

// Tells "no match" from "agent did not start" after a lookup returned 0:
// only a listing can show the difference.
Outcome WhyNothingFound() {
    std::vector<char> buffer = MarkedBuffer(CONNWALK_LISTING_SIZE);
    const int32_t result = GetTCPEndpoints(buffer.data());
    return result == 0 && StillMarked(buffer) ? Outcome::AgentDidNotStart : Outcome::NoMatch;
}

PortInfoAnswer PortInfo(PortInfoFunction function, int32_t port, bool second) {
    std::vector<char> remote = MarkedBuffer(CONNWALK_ENDPOINT_SIZE);
    std::vector<char> state = MarkedBuffer(CONNWALK_STATE_SIZE);
    const int32_t result = function(port, remote.data(), state.data(), second ? 1 : 0);
    if (result == 0) return {WhyNothingFound(), {}, {}};
    if (result != 1 || StillMarked(remote) || StillMarked(state)) {
        return {Outcome::QueryFailed, {}, {}};
    }
    return {Outcome::Found, TextIn(remote), TextIn(state)};
}

}  // namespace

ListingAnswer TcpListing() { return Listing(GetTCPEndpoints); }

ListingAnswer UdpListing() { return Listing(GetUDPEndpoints); }

PortInfoAnswer LocalPortInfo(int32_t port, bool second) {
    return PortInfo(GetTCPLocalPortInfo, port, second);
}

PortInfoAnswer RemotePortInfo(int32_t port, bool second) {
    return PortInfo(GetTCPRemotePortInfo, port, second);
}

}  // namespace connwalk_cli
