#include "library.h"

#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#ifndef CONNWALK_LIBRARY_PATH
#error "CONNWALK_LIBRARY_PATH must name the built library"
#endif

namespace connwalk::testing {

namespace {

constexpr std::string_view kMarker = "\x01marker\x02";

template <typename Function>
Function Resolve(void *handle, const char *name) {
    return reinterpret_cast<Function>(dlsym(handle, name));
}

ConnwalkLibrary Open() {
    ConnwalkLibrary library;
    void *handle = dlopen(CONNWALK_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return library;
    library.getTcpEndpoints = Resolve<ListingFunction>(handle, "GetTCPEndpoints");
    library.getUdpEndpoints = Resolve<ListingFunction>(handle, "GetUDPEndpoints");
    library.getTcpLocalPortInfo = Resolve<PortInfoFunction>(handle, "GetTCPLocalPortInfo");
    library.getTcpRemotePortInfo = Resolve<PortInfoFunction>(handle, "GetTCPRemotePortInfo");
    return library;
}

std::vector<char> Marked(size_t size) {
    std::vector<char> buffer(size, '\0');
    std::memcpy(buffer.data(), kMarker.data(), kMarker.size());
    return buffer;
}

bool IsMarked(const std::vector<char> &buffer) {
    return std::memcmp(buffer.data(), kMarker.data(), kMarker.size() + 1) == 0;
}

std::string TextIn(const std::vector<char> &buffer) {
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

}  // namespace

const char *LibraryPath() { return CONNWALK_LIBRARY_PATH; }

const ConnwalkLibrary &Connwalk() {
    static const ConnwalkLibrary library = Open();
    return library;
}

ListingCall CallListing(ListingFunction function) {
    std::vector<char> buffer = Marked(CONNWALK_LISTING_SIZE);
    ListingCall call;
    call.result = function(buffer.data());
    call.untouched = IsMarked(buffer);
    call.text = TextIn(buffer);
    return call;
}

PortInfoCall CallPortInfo(PortInfoFunction function, int32_t port, int32_t skipFirst) {
    std::vector<char> endpoint = Marked(CONNWALK_ENDPOINT_SIZE);
    std::vector<char> state = Marked(CONNWALK_STATE_SIZE);
    PortInfoCall call;
    call.result = function(port, endpoint.data(), state.data(), skipFirst);
    call.untouched = IsMarked(endpoint) && IsMarked(state);
    call.endpoint = TextIn(endpoint);
    call.state = TextIn(state);
    return call;
}

std::vector<Record> Records(std::string_view listing) {
    std::vector<Record> records;
    Record current(1);
    for (const char c : listing) {
        if (c == '\\') {
            records.push_back(std::move(current));
            current = Record(1);
        } else if (c == '\r') {
            current.emplace_back();
        } else {
            current.back() += c;
        }
    }
    if (!listing.empty() && listing.back() != '\\') records.push_back(std::move(current));
    return records;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::string PortText(uint16_t port, const char *protocol) {
    const servent *service = getservbyport(htons(port), protocol);
    if (service != nullptr && service->s_name != nullptr) return service->s_name;
    return std::to_string(port);
}

std::string OwnEndpoint(uint16_t port, const char *protocol) {
    return HostName() + ":" + PortText(port, protocol);
}

}  // namespace connwalk::testing
