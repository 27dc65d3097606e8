#include "exports/port_lookup.h"

#include <cstring>

#include "exports/table_call.h"
#include "text/entry_texts.h"

namespace connwalk {

int32_t TcpPortInfo(const Services &services, PortSide side, int32_t port, char *endpointText,
                    char *stateText, int32_t skipFirst) {
    if (endpointText == nullptr || stateText == nullptr) {
        return 0;
    }
    return WithTable(services, WalkTcpTable, [&](const std::vector<TcpEntry> &entries) {
        bool skip = skipFirst != 0;
        for (const TcpEntry &entry : entries) {
            const int32_t entryPort = side == PortSide::Local ? entry.localPort : entry.remotePort;
            if (entryPort != port) {
                continue;
            }
            if (skip) {
                skip = false;
                continue;
            }
            // Both texts are made before either output is written, so that a
            // failure leaves the caller's buffers as they were.
            Naming naming(services.names);
            char remote[kEndpointTextSize];
            RemoteEndpointText(naming, entry, remote);
            const char *label = StateLabel(entry.state);
            std::memcpy(endpointText, remote, std::strlen(remote) + 1);
            std::memcpy(stateText, label, std::strlen(label) + 1);
            return 1;
        }
        return 0;
    });
}

}  // namespace connwalk
