// The reader of sock_diag dumps, over any datagram: the parser must stay
// inside the bytes it is given, append only whole sockets, and report how
// the dump stands; every socket it makes must become a sound row or none.
//
// Input: one datagram, as recvmsg would deliver it.
#include <linux/inet_diag.h>
#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "harness_check.h"
#include "mib/linux/sock_diag_parser.h"
#include "row_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace connwalk;
    using namespace connwalk::fuzz;
    using namespace connwalk::kernel;
    // A block of exactly the datagram's size, whatever the caller passed.
    std::unique_ptr<uint8_t[]> datagram(new uint8_t[size]);
    if (size > 0) {
        std::memcpy(datagram.get(), data, size);
    }
    // The dump's earlier datagrams left a socket; it must stay as it was.
    KernelSocket earlier;
    earlier.family = Family::Ipv6;
    earlier.state = 10;
    earlier.localPort = 4242;
    earlier.v6only = V6Only::Yes;
    std::vector<KernelSocket> sockets{earlier};

    const DiagProgress progress = ParseDiagMessages(datagram.get(), size, &sockets);

    FUZZ_CHECK(progress.error >= 0);
    if (progress.end == DiagEnd::More) {
        FUZZ_CHECK(progress.error == 0);
    }
    FUZZ_CHECK(!sockets.empty());
    FUZZ_CHECK(SameSocket(sockets[0], earlier));
    // Each socket took a message of its own, header and body.
    FUZZ_CHECK(sockets.size() - 1 <= size / (sizeof(nlmsghdr) + sizeof(inet_diag_msg)));
    for (size_t i = 1; i < sockets.size(); ++i) {
        const KernelSocket &socket = sockets[i];
        FUZZ_CHECK(socket.family == Family::Ipv4 || socket.family == Family::Ipv6);
        if (socket.family == Family::Ipv4) {
            FUZZ_CHECK(socket.v6only == V6Only::Unknown);
        }
        CheckRows(socket);
    }
    return 0;
}
