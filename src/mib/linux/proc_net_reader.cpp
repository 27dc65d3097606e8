#include "mib/linux/proc_net_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "mib/linux/proc_net_parser.h"

namespace connwalk::kernel {

namespace {

constexpr size_t kReadSize = 64 * 1024;

}  // namespace

FileRead ReadWholeFile(const char *path, std::string *text) {
    text->clear();
    int fd = -1;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno == ENOENT ? FileRead::Missing : FileRead::Failed;
    }
    FileRead result = FileRead::Read;
    try {
        size_t length = 0;
        for (;;) {
            text->resize(length + kReadSize);
            const ssize_t got = ::read(fd, text->data() + length, kReadSize);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                result = FileRead::Failed;
                length = 0;
                break;
            }
            if (got == 0) {
                break;
            }
            length += static_cast<size_t>(got);
        }
        text->resize(length);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return result;
}

bool ReadProcSockets(const char *ipv4Path, const char *ipv6Path, std::vector<KernelSocket> *sockets) {
    std::string ipv4;
    std::string ipv6;
    if (ReadWholeFile(ipv4Path, &ipv4) != FileRead::Read) {
        return false;
    }
    if (ReadWholeFile(ipv6Path, &ipv6) == FileRead::Failed) {
        return false;
    }
    ParseProcNet(ipv4, sockets);
    ParseProcNet(ipv6, sockets);
    return true;
}

bool SystemV6OnlyDefault() {
    std::string text;
    try {
        if (ReadWholeFile("/proc/sys/net/ipv6/bindv6only", &text) != FileRead::Read) {
            return false;
        }
    } catch (...) {
        return false;
    }
    return !text.empty() && text[0] == '1';
}

}  // namespace connwalk::kernel
