// The C library's look-ups. Only the reentrant forms are used: a process
// may list connections on several threads at once, and the classic
// getservbyport and gethostbyaddr hand back storage that every thread shares.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "text/name_service.h"

namespace connwalk {

namespace {

// A services line longer than this is a broken database, not a name worth
// more memory.
constexpr size_t kServiceBufferLimit = size_t{1} << 20;
// Beyond NI_MAXHOST only a hand-written hosts file could produce a name;
// one more try with room for any line of it.
constexpr size_t kHostBufferLimit = size_t{1} << 16;

bool CopyName(const char *name, char *out, size_t size) {
    if (name == nullptr || out == nullptr || size == 0) {
        return false;
    }
    const size_t length = strnlen(name, size - 1);
    std::memcpy(out, name, length);
    out[length] = '\0';
    return true;
}

bool ServiceName(void *, int32_t port, const char *protocol, char *out, size_t size) {
    // The database is keyed by 16-bit ports in network order; higher bits of
    // a reported port are not part of any service's number.
    const int networkPort = htons(static_cast<uint16_t>(port));
    std::vector<char> buffer(1024);
    for (;;) {
        servent entry{};
        servent *result = nullptr;
        const int error = getservbyport_r(networkPort, protocol, &entry, buffer.data(),
                                          buffer.size(), &result);
        if (error == 0) {
            return result != nullptr && CopyName(result->s_name, out, size);
        }
        if (error != ERANGE || buffer.size() >= kServiceBufferLimit) {
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// The C library keeps a single position in the service database for the
// whole process, so two calls reading it at once would each get part of it.
// Calls of this library take turns; a program that enumerates the database
// itself at the same moment can still cut a listing's read short, which
// then shows numbers where it would show names.
std::mutex gServiceDatabase;

// One reading of the service database, closed however it ends: `visit` may
// throw when memory runs out.
struct ServiceDatabaseReading {
    std::lock_guard<std::mutex> turn{gServiceDatabase};
    ServiceDatabaseReading() { setservent(0); }
    ~ServiceDatabaseReading() { endservent(); }
    ServiceDatabaseReading(const ServiceDatabaseReading &) = delete;
    ServiceDatabaseReading &operator=(const ServiceDatabaseReading &) = delete;
};

bool EachService(void *, ServiceVisitor visit, void *context) {
    const ServiceDatabaseReading reading;
    std::vector<char> buffer(1024);
    for (;;) {
        servent entry{};
        servent *result = nullptr;
        const int error = getservent_r(&entry, buffer.data(), buffer.size(), &result);
        if (error == 0 && result != nullptr) {
            if (result->s_name != nullptr && result->s_proto != nullptr) {
                visit(context, ntohs(static_cast<uint16_t>(result->s_port)), result->s_proto,
                      result->s_name);
            }
            continue;
        }
        if (error == ERANGE && buffer.size() < kServiceBufferLimit) {
            // The entry was not taken; it comes again with more room.
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return error == ENOENT || (error == 0 && result == nullptr);
    }
}

bool HostName(void *, const Ipv4Address &address, char *out, size_t size) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    std::memcpy(&peer.sin_addr, address.bytes, sizeof address.bytes);
    std::vector<char> buffer(NI_MAXHOST);
    for (;;) {
        // NI_NAMEREQD: a numeric answer is a miss, which the caller renders
        // itself.
        const int error = getnameinfo(reinterpret_cast<const sockaddr *>(&peer), sizeof peer,
                                      buffer.data(), static_cast<socklen_t>(buffer.size()),
                                      nullptr, 0, NI_NAMEREQD);
        if (error == 0) {
            buffer.back() = '\0';
            return CopyName(buffer.data(), out, size);
        }
        if (error != EAI_OVERFLOW || buffer.size() >= kHostBufferLimit) {
            return false;
        }
        buffer.resize(kHostBufferLimit);
    }
}

bool LocalName(void *, char *out, size_t size) {
    char name[256] = {};
    if (gethostname(name, sizeof name) != 0) {
        return false;
    }
    // A name that filled the buffer need not be terminated.
    name[sizeof name - 1] = '\0';
    return CopyName(name, out, size);
}

}  // namespace

NameService PlatformNames() {
    return NameService{nullptr, ServiceName, HostName, LocalName, nullptr, EachService};
}

}  // namespace connwalk
