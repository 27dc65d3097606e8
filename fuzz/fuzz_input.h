// A fuzz input read as two streams: one from the front and one from the
// back. A harness reads what changes often and grows (an agent's answers,
// a list of operations) from the front, and its parameters and look-up
// answers from the back, so that the fuzzer can lengthen one without
// shifting the other. Past the end every read gives zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace connwalk::fuzz {

struct FuzzInput {
    const uint8_t *data = nullptr;
    size_t size = 0;

    bool Empty() const { return size == 0; }

    uint8_t Byte() {
        if (size == 0) {
            return 0;
        }
        const uint8_t byte = data[0];
        ++data;
        --size;
        return byte;
    }

    // `count` (at most 4) bytes, first byte lowest.
    uint32_t Bytes(unsigned count) {
        uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) {
            value |= uint32_t{Byte()} << (8 * i);
        }
        return value;
    }

    int32_t Int32() { return static_cast<int32_t>(Bytes(4)); }

    // Up to `count` bytes as they stand, fewer when the input ends.
    std::string Text(size_t count) {
        const size_t taken = count < size ? count : size;
        std::string text(reinterpret_cast<const char *>(data), taken);
        data += taken;
        size -= taken;
        return text;
    }

    uint8_t BackByte() {
        if (size == 0) {
            return 0;
        }
        --size;
        return data[size];
    }

    uint32_t BackBytes(unsigned count) {
        uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) {
            value |= uint32_t{BackByte()} << (8 * i);
        }
        return value;
    }

    int32_t BackInt32() { return static_cast<int32_t>(BackBytes(4)); }

    // Up to `count` bytes from the back, in the order they stand in the input.
    std::string BackText(size_t count) {
        const size_t taken = count < size ? count : size;
        size -= taken;
        return std::string(reinterpret_cast<const char *>(data + size), taken);
    }
};

}  // namespace connwalk::fuzz
