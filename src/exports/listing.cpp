#include "exports/listing.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "mib/walk.h"
#include "text/entry_texts.h"

namespace connwalk {

namespace {

constexpr char kFieldSeparator = '\r';
constexpr char kRecordEnd = '\\';

// Appends a record if it fits with the listing's NUL; a listing that would
// outgrow its buffer ends after the last whole record, so that a caller
// splitting at backslashes never meets half a record.
bool Append(std::string &listing, std::initializer_list<std::string_view> parts) {
    size_t length = 0;
    for (std::string_view part : parts) {
        length += part.size();
    }
    if (listing.size() + length + 1 > kListingSize) {
        return false;
    }
    for (std::string_view part : parts) {
        listing += part;
    }
    return true;
}

int32_t Deliver(const std::string &listing, char *listingBuffer) {
    std::memcpy(listingBuffer, listing.c_str(), listing.size() + 1);
    return static_cast<int32_t>(listing.size());
}

}  // namespace

int32_t TcpListing(const Services &services, char *listingBuffer) {
    if (listingBuffer == nullptr) {
        return 0;
    }
    try {
        std::vector<TcpEntry> entries;
        {
            AgentGuard agent;
            if (!StartAgent(services.agent, &agent.agent)) {
                return 0;
            }
            if (WalkTcpTable(agent.agent, entries) != WalkEnd::Complete) {
                return 1;
            }
        }
        Naming naming(services.names);
        std::string listing;
        for (const TcpEntry &entry : entries) {
            char local[kEndpointTextSize];
            char remote[kEndpointTextSize];
            LocalEndpointText(naming, entry.localAddress, entry.localPort, "tcp", local);
            RemoteEndpointText(naming, entry, remote);
            const std::string_view separator(&kFieldSeparator, 1);
            if (!Append(listing, {local, separator, remote, separator, StateLabel(entry.state),
                                  std::string_view(&kRecordEnd, 1)})) {
                break;
            }
        }
        return Deliver(listing, listingBuffer);
    } catch (...) {
        return 1;
    }
}

int32_t UdpListing(const Services &services, char *listingBuffer) {
    if (listingBuffer == nullptr) {
        return 0;
    }
    try {
        std::vector<UdpEntry> entries;
        {
            AgentGuard agent;
            if (!StartAgent(services.agent, &agent.agent)) {
                return 0;
            }
            if (WalkUdpTable(agent.agent, entries) != WalkEnd::Complete) {
                return 1;
            }
        }
        Naming naming(services.names);
        std::string listing;
        for (const UdpEntry &entry : entries) {
            char local[kEndpointTextSize];
            LocalEndpointText(naming, entry.localAddress, entry.localPort, "udp", local);
            if (!Append(listing, {local, std::string_view(&kRecordEnd, 1)})) {
                break;
            }
        }
        return Deliver(listing, listingBuffer);
    } catch (...) {
        return 1;
    }
}

}  // namespace connwalk
