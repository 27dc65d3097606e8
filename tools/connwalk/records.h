// A listing of the library taken apart again: a record ends at a backslash,
// and the fields of a TCP record are separated by carriage returns.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace connwalk_cli {

using Record = std::vector<std::string>;

// The records of `listing` in order, each with at least one (maybe empty)
// field. Bytes after the last backslash make one more record, so that a
// listing cut short loses nothing; an empty listing has no records.
std::vector<Record> SplitRecords(std::string_view listing);

enum class Protocol { Tcp, Udp };

// One row as the command shows it. A UDP listener has only a local side;
// its `remote` and `state` stay empty.
struct Connection {
    Protocol protocol = Protocol::Tcp;
    std::string local;
    std::string remote;
    std::string state;
};

// TCP records are local, remote and state; a record with fewer fields leaves
// the rest empty, and fields past the third are dropped.
std::vector<Connection> TcpConnections(std::string_view listing);

// A UDP record is one endpoint.
std::vector<Connection> UdpListeners(std::string_view listing);

}  // namespace connwalk_cli
