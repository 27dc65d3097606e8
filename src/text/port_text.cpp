#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "text/texts.h"

namespace connwalk {

namespace {

using ServiceTable = std::map<std::pair<int32_t, std::string>, std::string>;

void Collect(void *context, uint16_t port, const char *protocol, const char *name) {
    // The first entry for a port and protocol is the one that a look-up of
    // that port finds.
    std::string text(name, strnlen(name, kNameTextSize - 1));
    static_cast<ServiceTable *>(context)->try_emplace({port, protocol}, std::move(text));
}

// Reads the whole service database into the call's table, once, where the
// service can list it.
void ReadServiceDatabase(Naming &naming) {
    naming.serviceDatabaseTried = true;
    const NameService &service = naming.service;
    if (service.eachService == nullptr) {
        return;
    }
    ServiceTable table;
    if (service.eachService(service.state, Collect, &table)) {
        naming.services = std::move(table);
        naming.serviceDatabaseRead = true;
    }
}

void Decimal(int32_t port, char (&out)[kNameTextSize]) {
    std::snprintf(out, kNameTextSize, "%d", static_cast<int>(port));
}

}  // namespace

void PortText(Naming &naming, int32_t port, const char *protocol, char (&out)[kNameTextSize]) {
    if (!naming.serviceDatabaseTried) {
        ReadServiceDatabase(naming);
    }
    if (naming.serviceDatabaseRead) {
        // Only the low 16 bits of a port name a service; the text of a port
        // without a name is the whole value.
        const auto found = naming.services.find(
            {static_cast<uint16_t>(port), protocol != nullptr ? protocol : ""});
        // An empty name would leave an endpoint without a port.
        if (found == naming.services.end() || found->second.empty()) {
            Decimal(port, out);
            return;
        }
        const size_t length = found->second.copy(out, kNameTextSize - 1);
        out[length] = '\0';
        return;
    }
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
            Decimal(port, text);
        }
        found = naming.services.emplace(std::move(key), text).first;
    }
    const size_t length = found->second.copy(out, kNameTextSize - 1);
    out[length] = '\0';
}

}  // namespace connwalk
