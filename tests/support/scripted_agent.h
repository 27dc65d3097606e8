// An agent whose objects a test sets out: it answers GETNEXT from a sorted
// view as a well-behaved agent does, or replays a fixed script of answers
// whatever it is asked, and fails on demand.
#pragma once

#include <cstdint>
#include <vector>

#include "mib/agent.h"
#include "mib/entry.h"

namespace connwalk::testing {

using Oid = std::vector<uint32_t>;

struct ScriptedObject {
    Oid name;
    uint8_t type = kAsnInteger;
    int32_t number = 0;
    std::vector<uint8_t> bytes;
};

ScriptedObject Integer(Oid name, int32_t number);
ScriptedObject IpAddress(Oid name, Ipv4Address address);
ScriptedObject Octets(Oid name, std::vector<uint8_t> bytes, uint8_t type = kAsnOctetString);

struct ScriptedAgent {
    // Served in name order: GETNEXT answers the first object after the name
    // sent, and past the last one the name sent comes back with noSuchName.
    std::vector<ScriptedObject> view;
    // When not empty, answered in this order whatever is asked; past its end
    // every query fails.
    std::vector<ScriptedObject> script;
    bool startFails = false;
    long failAtQuery = -1;  // the query (counting from 0) that returns false

    long starts = 0;
    long closes = 0;
    long queries = 0;
    std::vector<Oid> sent;  // every name asked for
    ScriptedObject answer;  // storage the last answer points into

    AgentStarter Starter();
};

// The cells of tcpConnTable for `rows` (in the order given, which should be
// the index order), followed by tcpInErrs.0 as the next object of the view.
std::vector<ScriptedObject> TcpTableView(const std::vector<TcpEntry> &rows);
// The cells of udpTable for `rows`, followed by udpHCInDatagrams.0.
std::vector<ScriptedObject> UdpTableView(const std::vector<UdpEntry> &rows);

// The name of a cell of either table.
Oid TcpCell(uint32_t column, const TcpEntry &row);
Oid UdpCell(uint32_t column, const UdpEntry &row);

Ipv4Address Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

}  // namespace connwalk::testing
