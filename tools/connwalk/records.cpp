#include "records.h"

namespace connwalk_cli {

namespace {

constexpr char kRecordEnd = '\\';
constexpr char kFieldSeparator = '\r';

}  // namespace

std::vector<Record> SplitRecords(std::string_view listing) {
    std::vector<Record> records;
    Record current(1);
    for (size_t i = 0; i < listing.size(); ++i) {
        const char c = listing[i];
        if (c == kRecordEnd) {
            records.push_back(std::move(current));
            current = Record(1);
        } else if (c == kFieldSeparator) {
            current.emplace_back();
        } else {
            current.back().push_back(c);
        }
    }
    if (!listing.empty() && listing.back() != kRecordEnd) records.push_back(std::move(current));
    return records;
}

std::vector<Connection> TcpConnections(std::string_view listing) {
    std::vector<Connection> connections;
    for (Record &record : SplitRecords(listing)) {
        record.resize(3);
        connections.push_back({Protocol::Tcp, std::move(record[0]), std::move(record[1]),
                               std::move(record[2])});
    }
    return connections;
}

std::vector<Connection> UdpListeners(std::string_view listing) {
    std::vector<Connection> listeners;
    for (Record &record : SplitRecords(listing)) {
        listeners.push_back({Protocol::Udp, std::move(record[0]), {}, {}});
    }
    return listeners;
}

}  // namespace connwalk_cli
