// The library's face as the dynamic linker sees it: the four functions under
// their plain C names, nothing else, and the soname that callers record.
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "library.h"

namespace connwalk::testing {
namespace {

const std::set<std::string> kExports = {"GetTCPEndpoints", "GetTCPLocalPortInfo",
                                        "GetTCPRemotePortInfo", "GetUDPEndpoints"};
constexpr const char *kVersionNode = "CONNWALK_1";

struct DynamicSymbol {
    std::string name;
    unsigned type = 0;
    unsigned binding = 0;
    unsigned visibility = 0;
    bool absolute = false;
};

struct DynamicView {
    bool readable = false;
    std::vector<DynamicSymbol> defined;
    std::string soname;
};

std::vector<char> FileBytes(const char *path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A copy of the object of type T at `offset`, or false when the file is too
// short to hold it.
template <typename T>
bool ReadAt(const std::vector<char> &file, uint64_t offset, T *object) {
    if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
    std::memcpy(object, file.data() + offset, sizeof(T));
    return true;
}

std::string StringAt(const std::vector<char> &file, uint64_t tableOffset, uint64_t tableSize,
                     uint64_t index) {
    if (index >= tableSize || tableOffset > file.size() || file.size() - tableOffset < tableSize) {
        return {};
    }
    const char *start = file.data() + tableOffset + index;
    return std::string(start, strnlen(start, tableSize - index));
}

// The defined dynamic symbols and DT_SONAME, read from the section headers
// of an ELF file of this machine's class.
DynamicView ReadDynamicView(const std::vector<char> &file) {
    DynamicView view;
    ElfW(Ehdr) header{};
    if (!ReadAt(file, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        return view;
    }
    std::vector<ElfW(Shdr)> sections(header.e_shnum);
    for (size_t i = 0; i < sections.size(); ++i) {
        if (!ReadAt(file, header.e_shoff + i * header.e_shentsize, &sections[i])) return view;
    }
    for (const ElfW(Shdr) &section : sections) {
        if (section.sh_type != SHT_DYNSYM && section.sh_type != SHT_DYNAMIC) continue;
        if (section.sh_link >= sections.size() || section.sh_entsize == 0) return view;
        const ElfW(Shdr) &strings = sections[section.sh_link];
        const uint64_t count = section.sh_size / section.sh_entsize;
        for (uint64_t k = 0; k < count; ++k) {
            const uint64_t offset = section.sh_offset + k * section.sh_entsize;
            if (section.sh_type == SHT_DYNSYM) {
                ElfW(Sym) symbol{};
                if (!ReadAt(file, offset, &symbol)) return view;
                if (symbol.st_shndx == SHN_UNDEF) continue;
                // The ELF32 field macros read both classes alike.
                view.defined.push_back(
                    {StringAt(file, strings.sh_offset, strings.sh_size, symbol.st_name),
                     static_cast<unsigned>(ELF32_ST_TYPE(symbol.st_info)),
                     static_cast<unsigned>(ELF32_ST_BIND(symbol.st_info)),
                     static_cast<unsigned>(ELF32_ST_VISIBILITY(symbol.st_other)),
                     symbol.st_shndx == SHN_ABS});
            } else {
                ElfW(Dyn) entry{};
                if (!ReadAt(file, offset, &entry)) return view;
                if (entry.d_tag == DT_SONAME) {
                    view.soname =
                        StringAt(file, strings.sh_offset, strings.sh_size, entry.d_un.d_val);
                }
            }
        }
    }
    view.readable = true;
    return view;
}

class ExportsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { view_ = ReadDynamicView(FileBytes(LibraryPath())); }
    static DynamicView view_;
};

DynamicView ExportsTest::view_;

TEST_F(ExportsTest, OnlyTheFourFunctionsAreDefinedDynamicSymbols) {
    ASSERT_TRUE(view_.readable) << LibraryPath();
    std::set<std::string> functions;
    for (const DynamicSymbol &symbol : view_.defined) {
        // A version script leaves its node's name behind as an absolute
        // symbol; it names no code.
        if (symbol.name == kVersionNode && symbol.absolute) continue;
        EXPECT_EQ(kExports.count(symbol.name), 1u) << "unexpected export " << symbol.name;
        EXPECT_EQ(symbol.type, unsigned{STT_FUNC}) << symbol.name;
        EXPECT_EQ(symbol.binding, unsigned{STB_GLOBAL}) << symbol.name;
        EXPECT_EQ(symbol.visibility, unsigned{STV_DEFAULT}) << symbol.name;
        functions.insert(symbol.name);
    }
    EXPECT_EQ(functions, kExports);
}

TEST_F(ExportsTest, SonameCarriesTheMajorVersion) {
    ASSERT_TRUE(view_.readable) << LibraryPath();
    EXPECT_EQ(view_.soname, "libconnwalk.so.1");
}

TEST(Exports, ResolveByPlainNameAndByVersionNode) {
    void *handle = dlopen(LibraryPath(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    for (const std::string &name : kExports) {
        EXPECT_NE(dlsym(handle, name.c_str()), nullptr) << name;
        EXPECT_NE(dlvsym(handle, name.c_str(), kVersionNode), nullptr) << name;
    }
    EXPECT_EQ(dlsym(handle, "DllMain"), nullptr);
    dlclose(handle);

    const ConnwalkLibrary &library = Connwalk();
    EXPECT_NE(library.getTcpEndpoints, nullptr);
    EXPECT_NE(library.getUdpEndpoints, nullptr);
    EXPECT_NE(library.getTcpLocalPortInfo, nullptr);
    EXPECT_NE(library.getTcpRemotePortInfo, nullptr);
}

}  // namespace
}  // namespace connwalk::testing
