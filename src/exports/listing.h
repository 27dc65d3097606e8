// The listings of the two tables, over given services. The exported
// GetTCPEndpoints and GetUDPEndpoints are these with the platform's services.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exports/services.h"

namespace connwalk {

inline constexpr size_t kListingSize = 100000;  // NUL included

int32_t TcpListing(const Services &services, char *listingBuffer);
int32_t UdpListing(const Services &services, char *listingBuffer);

}  // namespace connwalk
