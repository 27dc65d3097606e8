#include <cstdio>

#include "text/texts.h"

namespace connwalk {

void PortText(Naming &naming, int32_t port, const char *protocol, char (&out)[kNameTextSize]) {
    std::pair<int32_t, std::string> key{port, protocol != nullptr ? protocol : ""};
    auto found = naming.services.find(key);
    if (found == naming.services.end()) {
        char text[kNameTextSize] = {};
        const NameService &service = naming.service;
        const bool named = service.serviceName != nullptr &&
                           service.serviceName(service.state, port, key.second.c_str(), text,
                                               sizeof text);
        text[kNameTextSize - 1] = '\0';
        // A miss is remembered as the number itself: the port is only ever
        // asked for once per call either way. The number is the whole value,
        // not the 16 bits the service was asked about. An empty name would
        // leave an endpoint without a port, so it counts as none.
        if (!named || text[0] == '\0') {
            std::snprintf(text, sizeof text, "%d", static_cast<int>(port));
        }
        found = naming.services.emplace(std::move(key), text).first;
    }
    const size_t length = found->second.copy(out, kNameTextSize - 1);
    out[length] = '\0';
}

}  // namespace connwalk
