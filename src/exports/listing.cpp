#include "exports/listing.h"

#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "exports/table_call.h"
#include "text/entry_texts.h"

namespace connwalk {

namespace {

constexpr std::string_view kFieldSeparator = "\r";
constexpr std::string_view kRecordEnd = "\\";

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
    return WithTable(services, WalkTcpTable, [&](const std::vector<TcpEntry> &entries) {
        Naming naming(services.names);
        std::string listing;
        for (const TcpEntry &entry : entries) {
            char local[kEndpointTextSize];
            char remote[kEndpointTextSize];
            LocalEndpointText(naming, entry.localAddress, entry.localPort, "tcp", local);
            RemoteEndpointText(naming, entry, remote);
            if (!Append(listing, {local, kFieldSeparator, remote, kFieldSeparator,
                                  StateLabel(entry.state), kRecordEnd})) {
                break;
            }
        }
        return Deliver(listing, listingBuffer);
    });
}

int32_t UdpListing(const Services &services, char *listingBuffer) {
    if (listingBuffer == nullptr) {
        return 0;
    }
    return WithTable(services, WalkUdpTable, [&](const std::vector<UdpEntry> &entries) {
        Naming naming(services.names);
        std::string listing;
        for (const UdpEntry &entry : entries) {
            char local[kEndpointTextSize];
            LocalEndpointText(naming, entry.localAddress, entry.localPort, "udp", local);
            if (!Append(listing, {local, kRecordEnd})) {
                break;
            }
        }
        return Deliver(listing, listingBuffer);
    });
}

}  // namespace connwalk
