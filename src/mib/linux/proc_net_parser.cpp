#include "mib/linux/proc_net_parser.h"

#include <cstdint>
#include <cstring>

namespace connwalk::kernel {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The next blank-separated word of `line`, taken off its front.
std::string_view NextWord(std::string_view &line) {
    size_t start = 0;
    while (start < line.size() && IsBlank(line[start])) {
        ++start;
    }
    size_t end = start;
    while (end < line.size() && !IsBlank(line[end])) {
        ++end;
    }
    const std::string_view word = line.substr(start, end - start);
    line.remove_prefix(end);
    return word;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// 1 to `maxDigits` hex digits, nothing else.
bool ParseHex(std::string_view digits, size_t maxDigits, uint32_t *value) {
    if (digits.empty() || digits.size() > maxDigits) {
        return false;
    }
    uint32_t result = 0;
    for (const char c : digits) {
        const int digit = HexDigit(c);
        if (digit < 0) {
            return false;
        }
        result = result << 4 | static_cast<uint32_t>(digit);
    }
    *value = result;
    return true;
}

// "ADDRESS:PORT". The kernel prints an address as 32-bit words, each as the
// number its four bytes make in this machine's byte order, so the bytes are
// that number's own representation in memory.
bool ParseEndpoint(std::string_view word, size_t *addressLength, uint8_t (&address)[16], uint16_t *port) {
    const size_t colon = word.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const std::string_view hexAddress = word.substr(0, colon);
    if (hexAddress.size() != 8 && hexAddress.size() != 32) {
        return false;
    }
    for (size_t i = 0; i < hexAddress.size() / 8; ++i) {
        uint32_t value = 0;
        if (!ParseHex(hexAddress.substr(i * 8, 8), 8, &value)) {
            return false;
        }
        std::memcpy(address + i * 4, &value, 4);
    }
    uint32_t portValue = 0;
    if (!ParseHex(word.substr(colon + 1), 4, &portValue)) {
        return false;
    }
    *addressLength = hexAddress.size() / 2;
    *port = static_cast<uint16_t>(portValue);
    return true;
}

bool ParseLine(std::string_view line, KernelSocket *socket) {
    const std::string_view slot = NextWord(line);
    if (slot.size() < 2 || slot.back() != ':') {
        return false;
    }
    size_t localLength = 0;
    size_t remoteLength = 0;
    uint32_t state = 0;
    if (!ParseEndpoint(NextWord(line), &localLength, socket->localAddress, &socket->localPort) ||
        !ParseEndpoint(NextWord(line), &remoteLength, socket->remoteAddress, &socket->remotePort) ||
        localLength != remoteLength || !ParseHex(NextWord(line), 2, &state)) {
        return false;
    }
    socket->family = localLength == 4 ? Family::Ipv4 : Family::Ipv6;
    socket->state = static_cast<uint8_t>(state);
    socket->v6only = V6Only::Unknown;
    return true;
}

}  // namespace

void ParseProcNet(std::string_view text, std::vector<KernelSocket> *sockets) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        KernelSocket socket;
        if (ParseLine(line, &socket)) {
            sockets->push_back(socket);
        }
    }
}

}  // namespace connwalk::kernel
