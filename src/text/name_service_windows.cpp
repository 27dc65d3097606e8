// The system's name look-ups on Windows: Windows Sockets 1.1. Each look-up
// holds a Windows Sockets session of its own for its duration, so that it
// works whether or not some other part of the call still holds one; while
// another is open, starting one is only a count.
#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "text/name_service.h"

namespace connwalk {

namespace {

constexpr WORD kSocketsVersion = 0x0101;  // Windows Sockets 1.1
constexpr int kHostNameSize = 256;

struct SocketsSession {
    bool started = false;
    SocketsSession() {
        WSADATA data;
        started = WSAStartup(kSocketsVersion, &data) == 0;
    }
    SocketsSession(const SocketsSession &) = delete;
    SocketsSession &operator=(const SocketsSession &) = delete;
    ~SocketsSession() {
        if (started) {
            WSACleanup();
        }
    }
};

// The records that Windows Sockets returns live in its own per-thread
// storage until the next look-up, so the name is copied out at once.
bool CopyName(const char *name, char *out, size_t size) {
    if (name == nullptr || size == 0) {
        return false;
    }
    size_t length = 0;
    while (length + 1 < size && name[length] != '\0') {
        ++length;
    }
    std::memcpy(out, name, length);
    out[length] = '\0';
    return true;
}

bool ServiceName(void *, int32_t port, const char *protocol, char *out, size_t size) {
    const SocketsSession session;
    // The service database is keyed by the low 16 bits, in network order.
    const u_short networkPort = htons(static_cast<u_short>(port));
    const servent *entry = getservbyport(static_cast<int>(networkPort), protocol);
    return entry != nullptr && CopyName(entry->s_name, out, size);
}

bool HostName(void *, const Ipv4Address &address, char *out, size_t size) {
    const SocketsSession session;
    const hostent *entry =
        gethostbyaddr(reinterpret_cast<const char *>(address.bytes), sizeof address.bytes, AF_INET);
    return entry != nullptr && CopyName(entry->h_name, out, size);
}

bool LocalName(void *, char *out, size_t size) {
    const SocketsSession session;
    char name[kHostNameSize];
    if (gethostname(name, kHostNameSize) != 0) {
        return false;
    }
    name[kHostNameSize - 1] = '\0';
    return CopyName(name, out, size);
}

}  // namespace

NameService PlatformNames() { return NameService{nullptr, ServiceName, HostName, LocalName, nullptr}; }

}  // namespace connwalk
