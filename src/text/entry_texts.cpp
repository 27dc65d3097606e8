#include "text/entry_texts.h"

namespace connwalk {

void LocalEndpointText(Naming &naming, const Ipv4Address &address, int32_t port,
                       const char *protocol, char (&out)[kEndpointTextSize]) {
    char portText[kNameTextSize];
    char hostText[kNameTextSize];
    PortText(naming, port, protocol, portText);
    HostText(naming, true, address, hostText);
    EndpointText(hostText, portText, out);
}

void RemoteEndpointText(Naming &naming, const TcpEntry &entry, char (&out)[kEndpointTextSize]) {
    char portText[kNameTextSize] = "0";
    char hostText[kNameTextSize];
    if (entry.remoteAddress != Ipv4Address{}) {
        PortText(naming, entry.remotePort, "tcp", portText);
    }
    HostText(naming, false, entry.remoteAddress, hostText);
    EndpointText(hostText, portText, out);
}

}  // namespace connwalk
