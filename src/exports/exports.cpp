// The library's face: the four exported functions, each the internal call
// with the platform's agent and name look-ups. Nothing thrown inside may
// cross into the caller's frames.
#include "connwalk.h"

#include "exports/listing.h"
#include "exports/port_lookup.h"

using connwalk::PlatformServices;
using connwalk::PortSide;

extern "C" {

CONNWALK_EXPORT int32_t CONNWALK_CALL GetTCPEndpoints(char *listingBuffer) {
    return connwalk::TcpListing(PlatformServices(), listingBuffer);
}

CONNWALK_EXPORT int32_t CONNWALK_CALL GetUDPEndpoints(char *listingBuffer) {
    return connwalk::UdpListing(PlatformServices(), listingBuffer);
}

CONNWALK_EXPORT int32_t CONNWALK_CALL GetTCPLocalPortInfo(int32_t port, char *endpointText,
                                                          char *stateText, int32_t skipFirst) {
    return connwalk::TcpPortInfo(PlatformServices(), PortSide::Local, port, endpointText, stateText,
                                 skipFirst);
}

CONNWALK_EXPORT int32_t CONNWALK_CALL GetTCPRemotePortInfo(int32_t port, char *endpointText,
                                                           char *stateText, int32_t skipFirst) {
    return connwalk::TcpPortInfo(PlatformServices(), PortSide::Remote, port, endpointText,
                                 stateText, skipFirst);
}

}  // extern "C"
