#include "pe_image.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace connwalk::testing {

namespace {

// Every read is checked against the file's size; a bad offset ends the read
// with an error instead of a read past the data.
struct Bytes {
    std::vector<uint8_t> data;

    void Need(uint64_t offset, uint64_t size) const {
        if (offset > data.size() || size > data.size() - offset) {
            throw std::runtime_error("read past the end of the file");
        }
    }
    uint16_t U16(uint64_t offset) const {
        Need(offset, 2);
        return static_cast<uint16_t>(data[offset] | data[offset + 1] << 8);
    }
    uint32_t U32(uint64_t offset) const {
        Need(offset, 4);
        return static_cast<uint32_t>(U16(offset)) | static_cast<uint32_t>(U16(offset + 2)) << 16;
    }
    uint64_t U64(uint64_t offset) const {
        return static_cast<uint64_t>(U32(offset)) | static_cast<uint64_t>(U32(offset + 4)) << 32;
    }
    std::string Text(uint64_t offset) const {
        std::string text;
        for (;; ++offset) {
            Need(offset, 1);
            if (data[offset] == 0) {
                return text;
            }
            text += static_cast<char>(data[offset]);
        }
    }
};

struct Section {
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawSize;
    uint32_t rawOffset;
};

struct Layout {
    const Bytes &bytes;
    std::vector<Section> sections;

    uint64_t Offset(uint32_t rva) const {
        for (const Section &section : sections) {
            const uint32_t size = section.virtualSize > section.rawSize ? section.virtualSize : section.rawSize;
            if (rva >= section.virtualAddress && rva - section.virtualAddress < size) {
                const uint32_t within = rva - section.virtualAddress;
                if (within >= section.rawSize) {
                    throw std::runtime_error("address in a section's uninitialised part");
                }
                return static_cast<uint64_t>(section.rawOffset) + within;
            }
        }
        throw std::runtime_error("address outside every section");
    }
};

struct Directory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

void ReadExports(const Layout &layout, const Directory &directory, PeImage &image) {
    if (directory.rva == 0) {
        return;
    }
    const Bytes &bytes = layout.bytes;
    const uint64_t at = layout.Offset(directory.rva);
    image.exportedModuleName = bytes.Text(layout.Offset(bytes.U32(at + 12)));
    const uint32_t base = bytes.U32(at + 16);
    const uint32_t functions = bytes.U32(at + 20);
    const uint32_t names = bytes.U32(at + 24);
    const uint32_t functionTable = bytes.U32(at + 28);
    const uint32_t nameTable = bytes.U32(at + 32);
    const uint32_t ordinalTable = bytes.U32(at + 36);
    if (functions > 65536 || names > functions) {
        throw std::runtime_error("implausible export counts");
    }
    for (uint32_t i = 0; i < functions; ++i) {
        const uint32_t rva = bytes.U32(layout.Offset(functionTable) + 4ULL * i);
        if (rva == 0) {
            continue;
        }
        PeExport entry;
        entry.ordinal = base + i;
        entry.rva = rva;
        entry.forwarded = rva >= directory.rva && rva - directory.rva < directory.size;
        image.exports.push_back(entry);
    }
    for (uint32_t i = 0; i < names; ++i) {
        const uint16_t index = bytes.U16(layout.Offset(ordinalTable) + 2ULL * i);
        const std::string name = bytes.Text(layout.Offset(bytes.U32(layout.Offset(nameTable) + 4ULL * i)));
        for (PeExport &entry : image.exports) {
            if (entry.ordinal == base + index) {
                entry.name = name;
            }
        }
    }
}

void ReadImports(const Layout &layout, const Directory &directory, bool wide, PeImage &image) {
    if (directory.rva == 0) {
        return;
    }
    const Bytes &bytes = layout.bytes;
    const uint64_t thunkSize = wide ? 8 : 4;
    const uint64_t ordinalFlag = wide ? 1ULL << 63 : 1ULL << 31;
    for (uint64_t at = layout.Offset(directory.rva);; at += 20) {
        const uint32_t lookup = bytes.U32(at);
        const uint32_t nameRva = bytes.U32(at + 12);
        const uint32_t address = bytes.U32(at + 16);
        if (nameRva == 0 && address == 0) {
            return;
        }
        PeImportedModule module;
        module.name = bytes.Text(layout.Offset(nameRva));
        const uint64_t thunks = layout.Offset(lookup != 0 ? lookup : address);
        for (uint64_t i = 0;; ++i) {
            const uint64_t thunk = wide ? bytes.U64(thunks + i * thunkSize) : bytes.U32(thunks + i * thunkSize);
            if (thunk == 0) {
                break;
            }
            if ((thunk & ordinalFlag) != 0) {
                module.ordinals.push_back(static_cast<uint32_t>(thunk & 0xFFFF));
            } else {
                module.names.push_back(bytes.Text(layout.Offset(static_cast<uint32_t>(thunk)) + 2));
            }
        }
        image.imports.push_back(module);
    }
}

// One node of a version record: a length, a value, a UTF-16 key, children.
struct VersionNode {
    uint64_t start;
    uint64_t end;
    uint16_t valueLength;
    uint16_t type;
    std::string key;
    uint64_t value;
    uint64_t children;
};

uint64_t Align4(uint64_t base, uint64_t offset) { return base + ((offset - base + 3) & ~uint64_t{3}); }

std::string Utf16Text(const Bytes &bytes, uint64_t &offset, uint64_t end) {
    std::string text;
    while (offset + 2 <= end) {
        const uint16_t unit = bytes.U16(offset);
        offset += 2;
        if (unit == 0) {
            return text;
        }
        text += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return text;
}

VersionNode ReadNode(const Bytes &bytes, uint64_t base, uint64_t start, uint64_t limit) {
    VersionNode node{};
    node.start = start;
    const uint16_t length = bytes.U16(start);
    if (length < 6 || start + length > limit) {
        throw std::runtime_error("bad version record node");
    }
    node.end = start + length;
    node.valueLength = bytes.U16(start + 2);
    node.type = bytes.U16(start + 4);
    uint64_t offset = start + 6;
    node.key = Utf16Text(bytes, offset, node.end);
    node.value = Align4(base, offset);
    const uint64_t valueBytes = node.type == 1 ? 2ULL * node.valueLength : node.valueLength;
    node.children = Align4(base, node.value + valueBytes);
    return node;
}

std::vector<VersionNode> Children(const Bytes &bytes, uint64_t base, const VersionNode &parent) {
    std::vector<VersionNode> children;
    for (uint64_t at = parent.children; at + 6 <= parent.end;) {
        VersionNode child = ReadNode(bytes, base, at, parent.end);
        at = Align4(base, child.end);
        children.push_back(child);
    }
    return children;
}

PeVersion ReadVersionRecord(const Bytes &bytes, uint64_t start, uint32_t size) {
    bytes.Need(start, size);
    const VersionNode root = ReadNode(bytes, start, start, start + size);
    if (root.key != "VS_VERSION_INFO" || root.valueLength < 52 || bytes.U32(root.value) != 0xFEEF04BD) {
        throw std::runtime_error("no VS_FIXEDFILEINFO in the version record");
    }
    PeVersion version;
    const auto split = [](uint32_t high, uint32_t low) {
        return std::array<uint16_t, 4>{static_cast<uint16_t>(high >> 16), static_cast<uint16_t>(high),
                                       static_cast<uint16_t>(low >> 16), static_cast<uint16_t>(low)};
    };
    version.fileVersion = split(bytes.U32(root.value + 8), bytes.U32(root.value + 12));
    version.productVersion = split(bytes.U32(root.value + 16), bytes.U32(root.value + 20));
    for (const VersionNode &info : Children(bytes, start, root)) {
        if (info.key != "StringFileInfo") {
            continue;
        }
        for (const VersionNode &table : Children(bytes, start, info)) {
            for (const VersionNode &entry : Children(bytes, start, table)) {
                uint64_t offset = entry.value;
                version.strings[entry.key] = Utf16Text(bytes, offset, entry.end);
            }
        }
    }
    return version;
}

// The first resource of type RT_VERSION (16), whatever its name and language.
void ReadVersion(const Layout &layout, const Directory &directory, PeImage &image) {
    if (directory.rva == 0) {
        return;
    }
    const Bytes &bytes = layout.bytes;
    const uint64_t root = layout.Offset(directory.rva);
    const auto entries = [&](uint64_t table) {
        std::vector<std::pair<uint32_t, uint32_t>> list;
        const uint32_t count = static_cast<uint32_t>(bytes.U16(table + 12)) + bytes.U16(table + 14);
        for (uint32_t i = 0; i < count; ++i) {
            list.emplace_back(bytes.U32(table + 16 + 8ULL * i), bytes.U32(table + 20 + 8ULL * i));
        }
        return list;
    };
    constexpr uint32_t kSubdirectory = 0x80000000;
    for (const auto &[type, typeTarget] : entries(root)) {
        if (type != 16 || (typeTarget & kSubdirectory) == 0) {
            continue;
        }
        uint64_t level = root + (typeTarget & ~kSubdirectory);
        // Name, then language; the first of each.
        for (int depth = 0; depth < 2; ++depth) {
            const auto list = entries(level);
            if (list.empty()) {
                return;
            }
            const uint32_t target = list.front().second;
            if (depth == 0 && (target & kSubdirectory) == 0) {
                throw std::runtime_error("version resource without a language level");
            }
            level = root + (target & ~kSubdirectory);
        }
        const uint32_t dataRva = bytes.U32(level);
        const uint32_t dataSize = bytes.U32(level + 4);
        image.version = ReadVersionRecord(bytes, layout.Offset(dataRva), dataSize);
        return;
    }
}

}  // namespace

bool ReadPeImage(const std::string &path, PeImage &image, std::string &error) {
    image = PeImage{};
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return false;
    }
    Bytes bytes{std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {})};
    try {
        if (bytes.U16(0) != 0x5A4D) {
            throw std::runtime_error("no MZ header");
        }
        const uint64_t pe = bytes.U32(0x3C);
        if (bytes.U32(pe) != 0x00004550) {
            throw std::runtime_error("no PE signature");
        }
        const uint64_t header = pe + 4;
        image.machine = bytes.U16(header);
        const uint16_t sectionCount = bytes.U16(header + 2);
        const uint16_t optionalSize = bytes.U16(header + 16);
        image.characteristics = bytes.U16(header + 18);
        const uint64_t optional = header + 20;
        const uint16_t magic = bytes.U16(optional);
        if (magic != 0x10B && magic != 0x20B) {
            throw std::runtime_error("unknown optional header");
        }
        const bool wide = magic == 0x20B;
        image.imageBase = wide ? bytes.U64(optional + 24) : bytes.U32(optional + 28);
        const uint64_t directoryCountAt = optional + (wide ? 108 : 92);
        const uint32_t directoryCount = bytes.U32(directoryCountAt);
        const auto directory = [&](uint32_t index) {
            if (index >= directoryCount) {
                return Directory{};
            }
            return Directory{bytes.U32(directoryCountAt + 4 + 8ULL * index),
                             bytes.U32(directoryCountAt + 8 + 8ULL * index)};
        };
        Layout layout{bytes, {}};
        const uint64_t sections = optional + optionalSize;
        for (uint16_t i = 0; i < sectionCount; ++i) {
            const uint64_t at = sections + 40ULL * i;
            layout.sections.push_back(
                Section{bytes.U32(at + 12), bytes.U32(at + 8), bytes.U32(at + 16), bytes.U32(at + 20)});
        }
        ReadExports(layout, directory(0), image);
        ReadImports(layout, directory(1), wide, image);
        ReadVersion(layout, directory(2), image);
    } catch (const std::exception &failure) {
        error = path + ": " + failure.what();
        return false;
    }
    return true;
}

}  // namespace connwalk::testing
