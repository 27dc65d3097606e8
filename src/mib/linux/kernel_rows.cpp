#include "mib/linux/kernel_rows.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>

#include "mib/linux/proc_net_reader.h"
#include "mib/linux/snmp_counters_parser.h"
#include "mib/linux/sock_diag_reader.h"
#include "mib/linux/socket_rows.h"

namespace connwalk::kernel {

namespace {

enum class Way { SockDiagThenProc, SockDiag, Proc };

// A socket list as the kernel gave it, for `protocol`, in the way `way` says.
bool ReadSockets(Way way, uint8_t protocol, std::vector<KernelSocket> *sockets) {
    if (way != Way::Proc) {
        bool unavailable = false;
        for (const int family : {AF_INET, AF_INET6}) {
            const DumpResult result = DumpSockets(family, protocol, sockets);
            if (result == DumpResult::Interrupted) {
                return false;
            }
            if (result == DumpResult::Unavailable) {
                unavailable = true;
                break;
            }
        }
        if (!unavailable) {
            return true;
        }
        if (way == Way::SockDiag) {
            return false;
        }
        sockets->clear();
    }
    return protocol == IPPROTO_TCP ? ReadProcSockets("/proc/net/tcp", "/proc/net/tcp6", sockets)
                                   : ReadProcSockets("/proc/net/udp", "/proc/net/udp6", sockets);
}

// The system default is read only when some socket's own setting is unknown.
bool V6OnlyDefaultFor(const std::vector<KernelSocket> &sockets) {
    const bool needed = std::any_of(sockets.begin(), sockets.end(), [](const KernelSocket &socket) {
        return socket.family == Family::Ipv6 && socket.v6only == V6Only::Unknown;
    });
    return needed && SystemV6OnlyDefault();
}

template <Way way>
bool ReadTcp(void *, std::vector<TcpEntry> *rows) {
    std::vector<KernelSocket> sockets;
    if (!ReadSockets(way, IPPROTO_TCP, &sockets)) {
        return false;
    }
    const bool v6onlyDefault = V6OnlyDefaultFor(sockets);
    rows->clear();
    rows->reserve(sockets.size());
    for (const KernelSocket &socket : sockets) {
        AppendTcpRow(socket, v6onlyDefault, rows);
    }
    return true;
}

template <Way way>
bool ReadUdp(void *, std::vector<UdpEntry> *rows) {
    std::vector<KernelSocket> sockets;
    if (!ReadSockets(way, IPPROTO_UDP, &sockets)) {
        return false;
    }
    const bool v6onlyDefault = V6OnlyDefaultFor(sockets);
    rows->clear();
    rows->reserve(sockets.size());
    for (const KernelSocket &socket : sockets) {
        AppendUdpRow(socket, v6onlyDefault, rows);
    }
    return true;
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
