// The agent's MIB-II view: the tcp and udp groups over one snapshot of the
// connection tables, and GETNEXT over it.
//
// The view, in order: tcpRtoAlgorithm.0 ... tcpRetransSegs.0 (1.3.6.1.2.1.6.1.0
// to .6.12.0), tcpConnTable (.6.13.1.C.<local address>.<local port>.<remote
// address>.<remote port>, columns 1 to 5), tcpInErrs.0, tcpOutRsts.0,
// udpInDatagrams.0 ... udpOutDatagrams.0, udpTable (.7.5.1.C.<local
// address>.<local port>, columns 1 and 2), udpHCInDatagrams.0,
// udpHCOutDatagrams.0. Every table is thus followed by a scalar, whose name
// of 9 sub-identifiers tells a walk that the table has ended.
//
// Platform-neutral: the rows come from a RowSource.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mib/agent.h"
#include "mib/entry.h"
#include "mib/linux/row_source.h"

namespace connwalk::kernel {

// A tcpConnTable cell's name: the entry (9), the column and the index (10).
inline constexpr uint32_t kLongestName = 20;

// One walk's view. Each table is read from the source the first time an
// answer needs it, and then served unchanged for as long as the view lives,
// so that every column lists the same rows.
struct MibView {
    RowSource source;
    bool tcpRead = false;
    std::vector<TcpEntry> tcpRows;  // in index order, one row per index
    bool udpRead = false;
    std::vector<UdpEntry> udpRows;
    bool countersRead = false;
    MibCounters counters;
    // What the last answer's name and value point into.
    uint32_t answerName[kLongestName] = {};
    uint8_t answerBytes[8] = {};
    // The table cell that the last answer named, if it named one. A walk
    // sends every answer's name back, and the cell after a known cell is
    // found without a search, so a whole walk costs one pass.
    bool lastIsCell = false;
    bool lastInTcp = false;
    uint32_t lastColumn = 0;
    size_t lastRow = 0;
    uint32_t lastNameLength = 0;
};

// Puts rows into index order (sub-identifiers compared as unsigned numbers:
// local address bytes, local port, remote address bytes, remote port) and
// keeps one row per index. Of rows with the same index a connection in use
// is kept rather than one in TIME_WAIT.
void SortTcpRows(std::vector<TcpEntry> *rows);
void SortUdpRows(std::vector<UdpEntry> *rows);

// Answers a GETNEXT for `binding`: its name and value become the first
// object of the view after the name sent, and `errorStatus` noError. Past
// the end of the view the name is left as sent, the value becomes Null and
// `errorStatus` noSuchName, as an SNMPv1 agent answers. The name sent is read
// whole before anything is written, so it may be the previous answer.
// Returns false when a table that the answer depends on cannot be read; the
// binding is then unchanged. May throw std::bad_alloc.
bool AnswerGetNext(MibView *view, Binding *binding, int32_t *errorStatus);

}  // namespace connwalk::kernel
