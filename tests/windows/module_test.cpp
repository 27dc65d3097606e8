// connwalk.dll as the loader and a caller see it, for both Windows builds:
// the exports, the version record, the modules it needs, how a C caller
// links to it, and (for the 32-bit build, which cannot be run here) that
// every export removes its own arguments from the stack.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pe_image.h"

namespace connwalk::testing {
namespace {

struct Build {
    const char *name;
    const char *stage;  // the installed build: bin/, lib/, include/
    uint16_t machine;
    const char *compiler;
    const char *objdump;
};

void PrintTo(const Build &build, std::ostream *out) { *out << build.name; }

const Build kBuilds[] = {
    {"mingw32", CONNWALK_WINDOWS_DIR "/stage32", kMachineI386, CONNWALK_MINGW32_CC, CONNWALK_MINGW32_OBJDUMP},
    {"mingw64", CONNWALK_WINDOWS_DIR "/stage64", kMachineAmd64, CONNWALK_MINGW64_CC, CONNWALK_MINGW64_OBJDUMP},
};

const std::map<uint32_t, std::string> kExports = {
    {1, "GetTCPEndpoints"}, {2, "GetTCPLocalPortInfo"}, {3, "GetTCPRemotePortInfo"}, {4, "GetUDPEndpoints"}};

// Bytes of arguments that each function takes, and so removes, on 32-bit.
const std::map<std::string, int> kArgumentBytes = {
    {"GetTCPEndpoints", 4}, {"GetTCPLocalPortInfo", 16}, {"GetTCPRemotePortInfo", 16}, {"GetUDPEndpoints", 4}};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

int RunCommand(const std::string &command, std::string &output) {
    output.clear();
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        output.append(chunk, got);
    }
    return pclose(pipe);
}

std::string Quote(const std::string &text) { return "'" + text + "'"; }

class WindowsModule : public ::testing::TestWithParam<Build> {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(ReadPeImage(Dll(), image, error)) << error;
    }
    std::string Dll() const { return std::string(GetParam().stage) + "/bin/connwalk.dll"; }

    PeImage image;
};

TEST_P(WindowsModule, IsADllForItsMachine) {
    EXPECT_EQ(image.machine, GetParam().machine);
    EXPECT_NE(image.characteristics & kFileIsDll, 0);
    EXPECT_EQ(image.exportedModuleName, "connwalk.dll");
}

TEST_P(WindowsModule, ExportsExactlyTheFourFunctionsByPlainNameAtOrdinalsOneToFour) {
    std::map<uint32_t, std::string> exports;
    for (const PeExport &entry : image.exports) {
        EXPECT_FALSE(entry.forwarded) << entry.name;
        EXPECT_EQ(entry.name.find('@'), std::string::npos) << "decorated: " << entry.name;
        exports[entry.ordinal] = entry.name;
    }
    EXPECT_EQ(exports, kExports);
}

TEST_P(WindowsModule, CarriesVersionRecordOneZeroZeroZero) {
    ASSERT_TRUE(image.version.has_value()) << "no version resource";
    const std::array<uint16_t, 4> one{1, 0, 0, 0};
    EXPECT_EQ(image.version->fileVersion, one);
    EXPECT_EQ(image.version->productVersion, one);
    EXPECT_EQ(image.version->strings["FileVersion"], "1, 0, 0, 0");
    EXPECT_EQ(image.version->strings["ProductVersion"], "1, 0, 0, 0");
}

// Only modules that every Windows has: no runtime DLLs of the compiler, and
// Windows Sockets 1.1 rather than 2.
TEST_P(WindowsModule, ImportsOnlySystemModules) {
    const std::set<std::string> allowed = {"kernel32.dll", "msvcrt.dll", "snmpapi.dll", "wsock32.dll"};
    std::set<std::string> imported;
    for (const PeImportedModule &module : image.imports) {
        imported.insert(Lower(module.name));
        EXPECT_TRUE(allowed.count(Lower(module.name)) == 1) << "imports " << module.name;
    }
    EXPECT_EQ(imported.count("kernel32.dll"), 1U);
    EXPECT_EQ(imported.count("wsock32.dll"), 1U);
}

// A C caller that includes connwalk.h links against the import library and
// imports the four plain names, whatever decoration the compiler gives its
// references.
TEST_P(WindowsModule, CallerLinksAndImportsThePlainNames) {
    const Build &build = GetParam();
    const std::string client = std::string(CONNWALK_TEST_OUTPUT_DIR) + "/client-" + build.name + ".exe";
    const std::string command = Quote(build.compiler) + " -std=c99 -Wall -Wextra -Wpedantic -Werror -I" +
                                Quote(std::string(build.stage) + "/include") + " " +
                                Quote(CONNWALK_SOURCE_DIR "/tests/windows/client.c") + " -L" +
                                Quote(std::string(build.stage) + "/lib") + " -lconnwalk -o " + Quote(client);
    std::string output;
    ASSERT_EQ(RunCommand(command, output), 0) << command << "\n" << output;

    PeImage caller;
    std::string error;
    ASSERT_TRUE(ReadPeImage(client, caller, error)) << error;
    const auto module = std::find_if(caller.imports.begin(), caller.imports.end(),
                                     [](const PeImportedModule &m) { return Lower(m.name) == "connwalk.dll"; });
    ASSERT_NE(module, caller.imports.end()) << "the caller does not import connwalk.dll";
    std::vector<std::string> names = module->names;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"GetTCPEndpoints", "GetTCPLocalPortInfo", "GetTCPRemotePortInfo",
                                               "GetUDPEndpoints"}));
    EXPECT_TRUE(module->ordinals.empty());
}

INSTANTIATE_TEST_SUITE_P(Builds, WindowsModule, ::testing::ValuesIn(kBuilds),
                         [](const ::testing::TestParamInfo<Build> &built) { return std::string(built.param.name); });

// The instructions of one function: from its address to the next symbol
// that the disassembler names, or, in a module without symbols, to the
// first return.
std::vector<std::string> Instructions(const Build &build, const std::string &dll, uint64_t address) {
    std::ostringstream command;
    command << Quote(build.objdump) << " -d --no-show-raw-insn --start-address=0x" << std::hex << address
            << " --stop-address=0x" << address + 512 << " " << Quote(dll);
    std::string output;
    if (RunCommand(command.str(), output) != 0) {
        ADD_FAILURE() << command.str() << "\n" << output;
        return {};
    }
    std::vector<std::string> instructions;
    std::istringstream lines(output);
    std::string line;
    bool inside = false;
    bool labelled = false;
    while (std::getline(lines, line)) {
        if (line.find(">:") != std::string::npos) {  // "64181510 <_GetTCPLocalPortInfo@16>:"
            if (inside) {
                break;
            }
            inside = labelled = true;
            continue;
        }
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            continue;
        }
        inside = true;
        std::string instruction;
        std::istringstream words(line.substr(tab + 1));
        for (std::string word; words >> word;) {
            instruction += (instruction.empty() ? "" : " ") + word;
        }
        instructions.push_back(instruction);
        if (!labelled && instruction.find("ret") != std::string::npos) {
            break;
        }
    }
    return instructions;
}

// The Windows API convention: the called function removes its arguments, so
// every return of an export is "ret $N" with N its argument bytes.
TEST(WindowsModule32, ExportsRemoveTheirArgumentsFromTheStack) {
    const Build &build = kBuilds[0];
    const std::string dll = std::string(build.stage) + "/bin/connwalk.dll";
    PeImage image;
    std::string error;
    ASSERT_TRUE(ReadPeImage(dll, image, error)) << error;
    ASSERT_EQ(image.exports.size(), kArgumentBytes.size());
    for (const PeExport &entry : image.exports) {
        SCOPED_TRACE(entry.name);
        const auto bytes = kArgumentBytes.find(entry.name);
        ASSERT_NE(bytes, kArgumentBytes.end());
        std::ostringstream expected;
        expected << "ret $0x" << std::hex << bytes->second;
        int returns = 0;
        for (const std::string &instruction : Instructions(build, dll, image.imageBase + entry.rva)) {
            if (instruction.rfind("ret", 0) == 0 || instruction.find(" ret") != std::string::npos) {
                ++returns;
                EXPECT_EQ(instruction, expected.str());
            }
        }
        EXPECT_GT(returns, 0) << "no return found";
    }
}

}  // namespace
}  // namespace connwalk::testing
