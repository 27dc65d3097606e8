// Preloaded into the command in place of the real library's four functions,
// to play the answers that real sockets cannot bring about on demand: an
// agent that does not start, a query that fails, an empty table, fixed rows.
// The test picks the answers with CONNWALK_FAKE; this is a test double, so
// reading the environment is fine here.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "connwalk.h"

namespace {

std::string_view Mode() {
    const char *mode = std::getenv("CONNWALK_FAKE");
    return mode != nullptr ? mode : "";
}

// A listing call: returns nullptr and `*result` when the mode says the call
// fails, else the listing to write.
const char *Listing(const char *rows, int32_t *result) {
    const std::string_view mode = Mode();
    if (mode == "no-agent") {
        *result = 0;
        return nullptr;
    }
    if (mode == "query-fails") {
        *result = 1;
        return nullptr;
    }
    if (mode == "empty") return "";
    return rows;
}

int32_t WriteListing(char *buffer, const char *listing, int32_t failure) {
    if (listing == nullptr) return failure;
    std::strcpy(buffer, listing);
    return static_cast<int32_t>(std::strlen(listing));
}

int32_t PortInfo(char *endpointText, char *stateText) {
    const std::string_view mode = Mode();
    if (mode == "query-fails") return 1;
    if (mode == "rows") {
        std::strcpy(endpointText, "192.0.2.7:smtp");
        std::strcpy(stateText, "ESTABLISHED");
        return 1;
    }
    return 0;
}

}  // namespace

extern "C" {

int32_t CONNWALK_CALL GetTCPEndpoints(char *listingBuffer) {
    int32_t failure = 0;
    const char *listing = Listing(
        "vm:ftp\r0.0.0.0:0\rLISTENING\\"
        "vm:40000\rlocalhost:ftp\rESTABLISHED\\"
        "vm:\x1B[2J\r192.0.2.7:smtp\rCLOSE_WAIT\\",
        &failure);
    return WriteListing(listingBuffer, listing, failure);
}

int32_t CONNWALK_CALL GetUDPEndpoints(char *listingBuffer) {
    int32_t failure = 0;
    const char *listing = Listing("vm:domain\\", &failure);
    if (Mode() == "udp-fails") return 1;
    return WriteListing(listingBuffer, listing, failure);
}

int32_t CONNWALK_CALL GetTCPLocalPortInfo(int32_t, char *endpointText, char *stateText, int32_t) {
    return PortInfo(endpointText, stateText);
}

int32_t CONNWALK_CALL GetTCPRemotePortInfo(int32_t, char *endpointText, char *stateText, int32_t) {
    return PortInfo(endpointText, stateText);
}

}  // extern "C"
