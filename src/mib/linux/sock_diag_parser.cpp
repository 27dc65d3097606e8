#include "mib/linux/sock_diag_parser.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <climits>
#include <cstring>

namespace connwalk::kernel {

namespace {

constexpr size_t Align4(size_t length) { return (length + 3) & ~size_t{3}; }

// The bytes are copied out rather than cast: a datagram given to the parser
// carries no promise of alignment.
template <typename T>
T Load(const uint8_t *bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// The errno of a kernel error code (which is negative); a code that is not
// negative carries no errno.
int ErrnoOf(int code) { return code >= 0 ? 0 : code == INT_MIN ? INT_MAX : -code; }

uint16_t FromNetwork16(uint16_t value) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(&value);
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

// The IPV6_V6ONLY flag, when the attributes after the message carry it.
V6Only FindV6Only(const uint8_t *attributes, size_t size) {
    while (size >= sizeof(nlattr)) {
        const auto attribute = Load<nlattr>(attributes);
        if (attribute.nla_len < sizeof(nlattr) || attribute.nla_len > size) {
            break;
        }
        if ((attribute.nla_type & NLA_TYPE_MASK) == INET_DIAG_SKV6ONLY && attribute.nla_len > sizeof(nlattr)) {
            return attributes[sizeof(nlattr)] != 0 ? V6Only::Yes : V6Only::No;
        }
        const size_t step = Align4(attribute.nla_len);
        if (step >= size) {
            break;
        }
        attributes += step;
        size -= step;
    }
    return V6Only::Unknown;
}

// One SOCK_DIAG_BY_FAMILY message's payload; false when it is too short.
bool ParseSocket(const uint8_t *payload, size_t size, std::vector<KernelSocket> *sockets) {
    if (size < sizeof(inet_diag_msg)) {
        return false;
    }
    const auto message = Load<inet_diag_msg>(payload);
    KernelSocket socket;
    if (message.idiag_family == AF_INET) {
        socket.family = Family::Ipv4;
    } else if (message.idiag_family == AF_INET6) {
        socket.family = Family::Ipv6;
    } else {
        return true;
    }
    socket.state = message.idiag_state;
    socket.localPort = FromNetwork16(message.id.idiag_sport);
    socket.remotePort = FromNetwork16(message.id.idiag_dport);
    std::memcpy(socket.localAddress, message.id.idiag_src, sizeof socket.localAddress);
    std::memcpy(socket.remoteAddress, message.id.idiag_dst, sizeof socket.remoteAddress);
    const size_t attributesAt = Align4(sizeof(inet_diag_msg));
    if (socket.family == Family::Ipv6 && size > attributesAt) {
        socket.v6only = FindV6Only(payload + attributesAt, size - attributesAt);
    }
    sockets->push_back(socket);
    return true;
}

}  // namespace

DiagProgress ParseDiagMessages(const uint8_t *bytes, size_t size, std::vector<KernelSocket> *sockets) {
    DiagProgress progress;
    while (size > 0) {
        if (size < sizeof(nlmsghdr)) {
            progress.end = DiagEnd::Failed;
            return progress;
        }
        const auto header = Load<nlmsghdr>(bytes);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > size) {
            progress.end = DiagEnd::Failed;
            return progress;
        }
        if ((header.nlmsg_flags & NLM_F_DUMP_INTR) != 0) {
            progress.interrupted = true;
        }
        const uint8_t *payload = bytes + sizeof(nlmsghdr);
        const size_t payloadSize = header.nlmsg_len - sizeof(nlmsghdr);
        switch (header.nlmsg_type) {
            case NLMSG_DONE:
                // The kernel may put the dump's own error here.
                if (payloadSize >= sizeof(int) && Load<int>(payload) < 0) {
                    progress.error = ErrnoOf(Load<int>(payload));
                    progress.end = DiagEnd::Failed;
                } else {
                    progress.end = DiagEnd::Done;
                }
                return progress;
            case NLMSG_ERROR:
                progress.error = payloadSize >= sizeof(int) ? ErrnoOf(Load<int>(payload)) : 0;
                progress.end = DiagEnd::Failed;
                return progress;
            case SOCK_DIAG_BY_FAMILY:
                if (!ParseSocket(payload, payloadSize, sockets)) {
                    progress.end = DiagEnd::Failed;
                    return progress;
                }
                break;
            default:
                break;
        }
        const size_t step = Align4(header.nlmsg_len);
        if (step >= size) {
            break;
        }
        bytes += step;
        size -= step;
    }
    return progress;
}

}  // namespace connwalk::kernel
