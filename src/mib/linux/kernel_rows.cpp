#include "mib/linux/kernel_rows.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "mib/linux/proc_net_reader.h"
#include "mib/linux/snmp_counters_parser.h"
#include "mib/linux/sock_diag_reader.h"
#include "mib/linux/socket_rows.h"

namespace connwalk::kernel {

namespace {

enum class Way { SockDiagThenProc, SockDiag, Proc };

// Turns sockets into rows as they are read. The system's dual-stack default
// is read only when some socket does not tell its own setting.
template <typename Entry>
struct RowBuilder {
    std::vector<Entry> *rows;
    void (*append)(const KernelSocket &, bool, std::vector<Entry> *);
    size_t dumpStart = 0;    // rows before the dump under way
    int v6onlyDefault = -1;  // not read yet

    void Take(const std::vector<KernelSocket> &sockets) {
        for (const KernelSocket &socket : sockets) {
            if (v6onlyDefault < 0 && socket.family == Family::Ipv6 &&
                socket.v6only == V6Only::Unknown) {
                v6onlyDefault = SystemV6OnlyDefault() ? 1 : 0;
            }
            append(socket, v6onlyDefault == 1, rows);
        }
    }
};

// Both families' sockets through sock_diag, straight into rows.
template <typename Entry>
DumpResult DumpRows(uint8_t protocol, RowBuilder<Entry> &builder) {
    SocketSink sink;
    sink.state = &builder;
    sink.take = [](void *state, const std::vector<KernelSocket> &sockets) {
        static_cast<RowBuilder<Entry> *>(state)->Take(sockets);
    };
    sink.restart = [](void *state) {
        auto &self = *static_cast<RowBuilder<Entry> *>(state);
        self.rows->resize(self.dumpStart);
    };
    for (const int family : {AF_INET, AF_INET6}) {
        builder.dumpStart = builder.rows->size();
        const DumpResult result = DumpSockets(family, protocol, sink);
        if (result != DumpResult::Complete) {
            return result;
        }
    }
    return DumpResult::Complete;
}

// The rows of `protocol`'s sockets, read in the way `way` says.
template <typename Entry>
bool ReadRows(Way way, uint8_t protocol, void (*append)(const KernelSocket &, bool, std::vector<Entry> *),
              std::vector<Entry> *rows) {
    rows->clear();
    RowBuilder<Entry> builder{rows, append};
    if (way != Way::Proc) {
        const DumpResult result = DumpRows(protocol, builder);
        if (result == DumpResult::Complete) {
            return true;
        }
        rows->clear();
        if (result == DumpResult::Interrupted || way == Way::SockDiag) {
            return false;
        }
    }
    std::vector<KernelSocket> sockets;
    const bool read = protocol == IPPROTO_TCP
                          ? ReadProcSockets("/proc/net/tcp", "/proc/net/tcp6", &sockets)
                          : ReadProcSockets("/proc/net/udp", "/proc/net/udp6", &sockets);
    if (!read) {
        return false;
    }
    rows->reserve(sockets.size());
    builder.Take(sockets);
    return true;
}

template <Way way>
bool ReadTcp(void *, std::vector<TcpEntry> *rows) {
    return ReadRows(way, IPPROTO_TCP, AppendTcpRow, rows);
}

template <Way way>
bool ReadUdp(void *, std::vector<UdpEntry> *rows) {
    return ReadRows(way, IPPROTO_UDP, AppendUdpRow, rows);
}

bool ReadCounters(void *, MibCounters *counters) {
    std::string text;
    if (ReadWholeFile("/proc/net/snmp", &text) != FileRead::Read) {
        return false;
    }
    ParseSnmpCounters(text, counters);
    return true;
}

template <Way way>
RowSource SourceOf() {
    RowSource source;
    source.readTcp = ReadTcp<way>;
    source.readUdp = ReadUdp<way>;
    source.readCounters = ReadCounters;
    return source;
}

}  // namespace

RowSource KernelRows() { return SourceOf<Way::SockDiagThenProc>(); }

RowSource SockDiagRows() { return SourceOf<Way::SockDiag>(); }

RowSource ProcNetRows() { return SourceOf<Way::Proc>(); }

}  // namespace connwalk::kernel
