#include "mib/linux/sock_diag_reader.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "mib/linux/sock_diag_parser.h"

namespace connwalk::kernel {

namespace {

constexpr int kAttempts = 5;
// The kernel fills each datagram of a dump up to about 32 KiB when the
// reader's buffer allows it; a larger buffer never truncates one.
constexpr size_t kDatagramBuffer = 64 * 1024;

struct Descriptor {
    int fd = -1;
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    explicit Descriptor(int descriptor) : fd(descriptor) {}
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

struct DumpRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

bool SendRequest(int fd, int family, uint8_t protocol) {
    DumpRequest request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.body.sdiag_family = static_cast<uint8_t>(family);
    request.body.sdiag_protocol = protocol;
    // Every state, listeners' request sockets and TIME_WAIT included, but not
    // the bit that asks newer kernels for TCP sockets that are only bound:
    // those are no connections, older kernels and /proc/net never list them,
    // and the kernel would report them as closed connections.
    constexpr uint32_t kBoundInactive = 1U << 13;
    request.body.idiag_states = ~kBoundInactive;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        const ssize_t sent = ::sendto(fd, &request, sizeof request, 0, reinterpret_cast<const sockaddr *>(&kernel),
                                      sizeof kernel);
        if (sent == static_cast<ssize_t>(sizeof request)) {
            return true;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
}

DumpResult DumpOnce(int family, uint8_t protocol, std::vector<uint8_t> &buffer, SocketSink sink) {
    Descriptor netlink(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (netlink.fd < 0) {
        return DumpResult::Unavailable;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (::bind(netlink.fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0 ||
        !SendRequest(netlink.fd, family, protocol)) {
        return DumpResult::Unavailable;
    }

    bool interrupted = false;
    std::vector<KernelSocket> sockets;
    for (;;) {
        sockaddr_nl sender{};
        iovec part{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        const ssize_t received = ::recvmsg(netlink.fd, &message, 0);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            // ENOBUFS: the socket overran and lost part of the dump.
            return errno == ENOBUFS ? DumpResult::Interrupted : DumpResult::Unavailable;
        }
        if (received == 0 || (message.msg_flags & MSG_TRUNC) != 0) {
            return DumpResult::Unavailable;
        }
        if (sender.nl_pid != 0) {
            continue;  // only the kernel answers a dump
        }
        sockets.clear();
        const DiagProgress progress = ParseDiagMessages(buffer.data(), static_cast<size_t>(received), &sockets);
        if (!sockets.empty()) {
            sink.take(sink.state, sockets);
        }
        interrupted = interrupted || progress.interrupted;
        switch (progress.end) {
            case DiagEnd::More:
                break;
            case DiagEnd::Done:
                return interrupted ? DumpResult::Interrupted : DumpResult::Complete;
            case DiagEnd::Failed:
                return DumpResult::Unavailable;
        }
    }
}

}  // namespace

DumpResult DumpSockets(int family, uint8_t protocol, SocketSink sink) {
    std::vector<uint8_t> buffer(kDatagramBuffer);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const DumpResult result = DumpOnce(family, protocol, buffer, sink);
        if (result == DumpResult::Complete) {
            return result;
        }
        sink.restart(sink.state);
        if (result == DumpResult::Unavailable) {
            return result;
        }
    }
    return DumpResult::Interrupted;
}

}  // namespace connwalk::kernel
