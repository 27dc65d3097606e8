#include "records.h"

#include <algorithm>

namespace connwalk_cli {

namespace {

constexpr char kRecordEnd = '\\';
constexpr char kFieldSeparator = '\r';

// Calls `take` with each record of `listing`, seen in place. Bytes after the
// last backslash are one more record.
template <typename Take>
void EachRecord(std::string_view listing, Take take) {
    while (!listing.empty()) {
        const size_t end = listing.find(kRecordEnd);
        take(listing.substr(0, end));
        if (end == std::string_view::npos) break;
        listing.remove_prefix(end + 1);
    }
}

// The fields of one record, front to back; a record has at least one.
struct Fields {
    std::string_view rest;
    bool more = true;

    std::string_view Next() {
        const size_t end = rest.find(kFieldSeparator);
        const std::string_view field = rest.substr(0, end);
        more = end != std::string_view::npos;
        rest = more ? rest.substr(end + 1) : std::string_view{};
        return field;
    }
};

size_t RecordCount(std::string_view listing) {
    return static_cast<size_t>(std::count(listing.begin(), listing.end(), kRecordEnd)) + 1;
}

}  // namespace

std::vector<Record> SplitRecords(std::string_view listing) {
    std::vector<Record> records;
    records.reserve(RecordCount(listing));
    EachRecord(listing, [&](std::string_view record) {
        Record &fields = records.emplace_back();
        Fields reader{record};
        while (reader.more) fields.emplace_back(reader.Next());
    });
    return records;
}

std::vector<Connection> TcpConnections(std::string_view listing) {
    std::vector<Connection> connections;
    connections.reserve(RecordCount(listing));
    EachRecord(listing, [&](std::string_view record) {
        Connection &connection = connections.emplace_back();
        Fields reader{record};
        connection.local = reader.Next();
        connection.remote = reader.Next();
        connection.state = reader.Next();
    });
    return connections;
}

std::vector<Connection> UdpListeners(std::string_view listing) {
    std::vector<Connection> listeners;
    listeners.reserve(RecordCount(listing));
    EachRecord(listing, [&](std::string_view record) {
        Connection &listener = listeners.emplace_back();
        listener.protocol = Protocol::Udp;
        listener.local = Fields{record}.Next();
    });
    return listeners;
}

}  // namespace connwalk_cli
