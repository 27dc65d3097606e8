#include "support/fake_names.h"

#include <cstdio>
#include <cstring>

namespace connwalk::testing {

namespace {

void Copy(const std::string &name, char *out, size_t size) {
    const size_t length = name.size() < size ? name.size() : size - 1;
    std::memcpy(out, name.data(), length);
    out[length] = '\0';
}

bool ServiceName(void *state, int32_t port, const char *protocol, char *out, size_t size) {
    auto &names = *static_cast<FakeNames *>(state);
    ++names.serviceCalls;
    auto found = names.services.find({port, protocol});
    if (found == names.services.end()) {
        return false;
    }
    Copy(found->second, out, size);
    return true;
}

bool EachService(void *state, ServiceVisitor visit, void *context) {
    auto &names = *static_cast<FakeNames *>(state);
    ++names.listingCalls;
    for (const FakeNames::ServiceEntry &entry : names.database) {
        visit(context, entry.port, entry.protocol.c_str(), entry.name.c_str());
        if (names.listingFails) {
            return false;
        }
    }
    return true;
}

bool HostName(void *state, const Ipv4Address &address, char *out, size_t size) {
    auto &names = *static_cast<FakeNames *>(state);
    ++names.hostCalls;
    names.clock += names.reverseDelay;
    auto found = names.hosts.find(Dotted(address));
    if (found == names.hosts.end()) {
        return false;
    }
    Copy(found->second, out, size);
    return true;
}

bool LocalName(void *state, char *out, size_t size) {
    auto &names = *static_cast<FakeNames *>(state);
    ++names.localCalls;
    if (names.localFails) {
        return false;
    }
    Copy(names.local, out, size);
    return true;
}

std::chrono::steady_clock::time_point Now(void *state) {
    return static_cast<FakeNames *>(state)->clock;
}

}  // namespace

NameService FakeNames::Service() {
    return NameService{this, ServiceName, HostName, LocalName, Now,
                       listsDatabase ? EachService : nullptr};
}

FakeNames ExampleNames() {
    FakeNames names;
    names.services = {{{21, "tcp"}, "ftp"},    {{25, "tcp"}, "smtp"}, {{53, "tcp"}, "domain"},
                      {{53, "udp"}, "domain"}, {{80, "tcp"}, "http"}};
    return names;
}

std::string Dotted(const Ipv4Address &address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address.bytes[0], address.bytes[1],
                  address.bytes[2], address.bytes[3]);
    return text;
}

}  // namespace connwalk::testing
