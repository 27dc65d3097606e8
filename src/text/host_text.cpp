#include <cstdio>

#include "text/texts.h"

namespace connwalk {

namespace {

constexpr Ipv4Address kAnyAddress{{0, 0, 0, 0}};
constexpr Ipv4Address kLoopbackAddress{{127, 0, 0, 1}};

std::chrono::steady_clock::time_point Now(const NameService &service) {
    return service.now != nullptr ? service.now(service.state)
                                  : std::chrono::steady_clock::now();
}

const std::string &LocalName(Naming &naming) {
    if (!naming.haveLocalName) {
        const NameService &service = naming.service;
        char name[kNameTextSize] = {};
        const bool named = service.localName != nullptr &&
                           service.localName(service.state, name, sizeof name);
        name[kNameTextSize - 1] = '\0';
        naming.localName = named && name[0] != '\0' ? name : "localhost";
        naming.haveLocalName = true;
    }
    return naming.localName;
}

std::string DottedQuad(const Ipv4Address &address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned{address.bytes[0]},
                  unsigned{address.bytes[1]}, unsigned{address.bytes[2]},
                  unsigned{address.bytes[3]});
    return text;
}

// The reverse look-up of `address`, or its dotted quad. Every look-up's time
// counts against the call's budget, so that a slow or unreachable resolver
// costs a listing a bounded delay rather than one timeout per peer.
std::string ReverseName(Naming &naming, const Ipv4Address &address) {
    const uint32_t key = uint32_t{address.bytes[0]} << 24 | uint32_t{address.bytes[1]} << 16 |
                         uint32_t{address.bytes[2]} << 8 | uint32_t{address.bytes[3]};
    if (auto found = naming.hosts.find(key); found != naming.hosts.end()) {
        return found->second;
    }
    const NameService &service = naming.service;
    if (service.hostName == nullptr || naming.reverseTime >= kReverseLookupBudget) {
        return DottedQuad(address);
    }
    char name[kNameTextSize] = {};
    const auto start = Now(service);
    const bool named = service.hostName(service.state, address, name, sizeof name);
    const auto spent = Now(service) - start;
    if (spent > std::chrono::steady_clock::duration::zero()) {
        naming.reverseTime += spent;
    }
    name[kNameTextSize - 1] = '\0';
    return naming.hosts.emplace(key, named && name[0] != '\0' ? name : DottedQuad(address))
        .first->second;
}

}  // namespace

void HostText(Naming &naming, bool useLocalName, const Ipv4Address &address,
              char (&out)[kNameTextSize]) {
    std::string text;
    if (address == kAnyAddress) {
        text = useLocalName ? LocalName(naming) : "0.0.0.0";
    } else if (address == kLoopbackAddress) {
        text = useLocalName ? LocalName(naming) : "localhost";
    } else {
        text = ReverseName(naming, address);
    }
    const size_t length = text.copy(out, kNameTextSize - 1);
    out[length] = '\0';
}

}  // namespace connwalk
