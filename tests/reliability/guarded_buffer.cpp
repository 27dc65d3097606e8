#include "guarded_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace connwalk::testing {

GuardedBuffer::GuardedBuffer(size_t bytes) : size(bytes) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t dataPages = (bytes + page - 1) / page;
    mappingSize = (dataPages + 1) * page;
    mapping =
        mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        mapping = nullptr;
        throw std::system_error(errno, std::generic_category(), "mmap");
    }
    char *guard = static_cast<char *>(mapping) + dataPages * page;
    if (mprotect(guard, page, PROT_NONE) != 0) {
        const int error = errno;
        munmap(mapping, mappingSize);
        mapping = nullptr;
        throw std::system_error(error, std::generic_category(), "mprotect");
    }
    data = guard - bytes;
    Fill();
}

GuardedBuffer::~GuardedBuffer() {
    if (mapping != nullptr) munmap(mapping, mappingSize);
}

void GuardedBuffer::Fill() { std::memset(data, kUnwritten, size); }

bool GuardedBuffer::UnwrittenFrom(size_t from) const {
    for (size_t i = from; i < size; ++i) {
        if (static_cast<unsigned char>(data[i]) != kUnwritten) return false;
    }
    return true;
}

std::string_view GuardedBuffer::Text() const { return std::string_view(data, strnlen(data, size)); }

}  // namespace connwalk::testing
