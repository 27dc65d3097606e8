// Finding one TCP connection by port, over given services. The exported
// GetTCPLocalPortInfo and GetTCPRemotePortInfo are this with the platform's
// services.
#pragma once

#include <cstdint>

#include "exports/services.h"

namespace connwalk {

enum class PortSide { Local, Remote };

int32_t TcpPortInfo(const Services &services, PortSide side, int32_t port, char *endpointText,
                    char *stateText, int32_t skipFirst);

}  // namespace connwalk
