// The reader of /proc/net/tcp, tcp6, udp and udp6, over any text: it must
// stay inside the text, take at most one socket per line, and read back
// what it reads when the sockets are written out again as the kernel
// writes them; every socket it makes must become a sound row or none.
//
// Input: the text of one such file.
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "harness_check.h"
#include "mib/linux/proc_net_parser.h"
#include "row_checks.h"

namespace connwalk::fuzz {

namespace {

// An address as the kernel prints it: 32-bit words, each the number its
// four bytes make in this machine's byte order.
std::string Words(const uint8_t (&address)[16], size_t length) {
    std::string text;
    for (size_t at = 0; at < length; at += 4) {
        uint32_t word = 0;
        std::memcpy(&word, address + at, 4);
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08" PRIX32, word);
        text += hex;
    }
    return text;
}

// The line the kernel would print for `socket`.
std::string Line(const kernel::KernelSocket &socket, size_t slot) {
    const size_t length = socket.family == kernel::Family::Ipv4 ? 4 : 16;
    char ports[64];
    std::snprintf(ports, sizeof ports, "%4zu: ", slot);
    std::string line = ports;
    std::snprintf(ports, sizeof ports, ":%04X ", unsigned{socket.localPort});
    line += Words(socket.localAddress, length) + ports;
    std::snprintf(ports, sizeof ports, ":%04X %02X ", unsigned{socket.remotePort}, unsigned{socket.state});
    line += Words(socket.remoteAddress, length) + ports;
    line += "00000000:00000000 00:00000000 00000000  1000        0 12345 1 0000000000000000 100 0 0 10 0\n";
    return line;
}

}  // namespace

}  // namespace connwalk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace connwalk;
    using namespace connwalk::fuzz;
    using namespace connwalk::kernel;
    // A block of exactly the text's size: no NUL after it to stop a reader.
    std::unique_ptr<char[]> block(new char[size]);
    if (size > 0) {
        std::memcpy(block.get(), data, size);
    }
    const std::string_view text(block.get(), size);
    KernelSocket earlier;
    earlier.family = Family::Ipv6;
    earlier.state = 7;
    earlier.localPort = 4242;
    earlier.v6only = V6Only::No;
    std::vector<KernelSocket> sockets{earlier};

    ParseProcNet(text, &sockets);

    FUZZ_CHECK(!sockets.empty() && SameSocket(sockets[0], earlier));
    size_t lines = 1;
    for (const char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    FUZZ_CHECK(sockets.size() - 1 <= lines);

    std::string written = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    for (size_t i = 1; i < sockets.size(); ++i) {
        const KernelSocket &socket = sockets[i];
        FUZZ_CHECK(socket.v6only == V6Only::Unknown);
        if (socket.family == Family::Ipv4) {
            static constexpr uint8_t kZero[12] = {};
            FUZZ_CHECK(std::memcmp(socket.localAddress + 4, kZero, sizeof kZero) == 0);
            FUZZ_CHECK(std::memcmp(socket.remoteAddress + 4, kZero, sizeof kZero) == 0);
        }
        CheckRows(socket);
        written += Line(socket, i - 1);
    }

    std::vector<KernelSocket> again;
    ParseProcNet(written, &again);
    FUZZ_CHECK(again.size() == sockets.size() - 1);
    for (size_t i = 0; i < again.size(); ++i) {
        FUZZ_CHECK(SameSocket(again[i], sockets[i + 1]));
    }
    return 0;
}
