// What the windows tests read from a built module: a small reader of PE
// files (the format of Windows DLLs and programs) for the parts a caller and
// the loader see: machine, exports, imports and the version record.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace connwalk::testing {

inline constexpr uint16_t kMachineI386 = 0x014C;
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kFileIsDll = 0x2000;

struct PeExport {
    uint32_t ordinal = 0;
    std::string name;  // empty for an export by ordinal only
    uint32_t rva = 0;
    bool forwarded = false;  // the address points at a "module.name" text
};

struct PeImportedModule {
    std::string name;
    std::vector<std::string> names;  // functions imported by name
    std::vector<uint32_t> ordinals;  // functions imported by ordinal
};

struct PeVersion {
    std::array<uint16_t, 4> fileVersion{};
    std::array<uint16_t, 4> productVersion{};
    std::map<std::string, std::string> strings;  // StringFileInfo, every table
};

struct PeImage {
    uint16_t machine = 0;
    uint16_t characteristics = 0;
    uint64_t imageBase = 0;
    std::string exportedModuleName;
    std::vector<PeExport> exports;  // every exported function, by ordinal
    std::vector<PeImportedModule> imports;
    std::optional<PeVersion> version;
};

// Reads the module at `path`. Returns false with a reason in `error` when it
// is missing or not a well-formed PE file.
bool ReadPeImage(const std::string &path, PeImage &image, std::string &error);

}  // namespace connwalk::testing
