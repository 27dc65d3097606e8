// Loads connwalk.dll as a Windows program does, runs the commands named on
// its command line against it, and reports what happened as "key=value"
// lines, one block per command ending in "end". Values are escaped: a
// backslash as two, any byte outside printable ASCII as \xHH. The checks
// themselves belong to the test that reads the report.
//
// Commands:
//   exports            the four functions by name and by ordinal
//   hostname           the machine's name from Windows Sockets
//   tcp, udp           GetTCPEndpoints, GetUDPEndpoints
//   local:PORT:SKIP    GetTCPLocalPortInfo
//   remote:PORT:SKIP   GetTCPRemotePortInfo
//   agent              what the scripted agent recorded (CWAGENT_*)
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "connwalk.h"

namespace {

using ListingFunction = int32_t(CONNWALK_CALL *)(char *);
using LookupFunction = int32_t(CONNWALK_CALL *)(int32_t, char *, char *, int32_t);

constexpr unsigned char kFill = 0xA5;
constexpr size_t kGuard = 4096;

const char *const kExportNames[] = {"GetTCPEndpoints", "GetTCPLocalPortInfo", "GetTCPRemotePortInfo",
                                    "GetUDPEndpoints"};

std::string Escape(const char *text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            out += static_cast<char>(byte);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        }
    }
    return out;
}

void Put(const char *key, const std::string &value) { std::printf("%s=%s\n", key, value.c_str()); }
void Put(const char *key, long long value) { std::printf("%s=%lld\n", key, value); }

template <typename Function>
Function Resolve(HMODULE module, const char *name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// A caller's buffer of `size` bytes followed by a guard, all filled with a
// pattern, so that any write and any write past `size` shows.
struct Area {
    std::vector<char> bytes;
    size_t size;
    explicit Area(size_t promised) : bytes(promised + kGuard, static_cast<char>(kFill)), size(promised) {}
    char *data() { return bytes.data(); }
    bool Untouched() const {
        for (char byte : bytes) {
            if (static_cast<unsigned char>(byte) != kFill) {
                return false;
            }
        }
        return true;
    }
    bool GuardIntact() const {
        for (size_t i = size; i < bytes.size(); ++i) {
            if (static_cast<unsigned char>(bytes[i]) != kFill) {
                return false;
            }
        }
        return true;
    }
    // The text up to its NUL, if there is one within the promised size.
    bool Terminated(size_t &length) const {
        const void *nul = std::memchr(bytes.data(), '\0', size);
        if (nul == nullptr) {
            return false;
        }
        length = static_cast<size_t>(static_cast<const char *>(nul) - bytes.data());
        return true;
    }
};

void PutText(const char *prefix, const Area &area) {
    const std::string key(prefix);
    Put((key + "_untouched").c_str(), area.Untouched() ? 1 : 0);
    Put((key + "_guard").c_str(), area.GuardIntact() ? 1 : 0);
    size_t length = 0;
    const bool terminated = area.Terminated(length);
    Put((key + "_terminated").c_str(), terminated ? 1 : 0);
    if (terminated && !area.Untouched()) {
        Put((key + "_length").c_str(), static_cast<long long>(length));
        Put(key.c_str(), Escape(area.bytes.data(), length));
    }
}

void Exports(HMODULE module) {
    for (int ordinal = 1; ordinal <= 4; ++ordinal) {
        const char *name = kExportNames[ordinal - 1];
        const FARPROC byName = GetProcAddress(module, name);
        const FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
        std::printf("byname.%s=%d\n", name, byName != nullptr ? 1 : 0);
        std::printf("same.%s=%d\n", name, byName != nullptr && byName == byOrdinal ? 1 : 0);
    }
    Put("ordinal5", GetProcAddress(module, MAKEINTRESOURCEA(5)) != nullptr ? 1 : 0);
    Put("dllmain", GetProcAddress(module, "DllMain") != nullptr ? 1 : 0);
}

void HostName() {
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0) {
        Put("error", "WSAStartup");
        return;
    }
    char name[256] = "";
    if (gethostname(name, sizeof name) == 0) {
        Put("hostname", Escape(name, std::strlen(name)));
    } else {
        Put("error", "gethostname");
    }
    WSACleanup();
}

void Listing(HMODULE module, const char *name) {
    const auto function = Resolve<ListingFunction>(module, name);
    if (function == nullptr) {
        Put("error", "missing export");
        return;
    }
    Area listing(CONNWALK_LISTING_SIZE);
    Put("result", function(listing.data()));
    PutText("text", listing);
}

void Lookup(HMODULE module, const char *name, const std::string &arguments) {
    const auto function = Resolve<LookupFunction>(module, name);
    if (function == nullptr) {
        Put("error", "missing export");
        return;
    }
    const size_t colon = arguments.find(':');
    if (colon == std::string::npos) {
        Put("error", "expected PORT:SKIP");
        return;
    }
    const auto port = static_cast<int32_t>(std::strtol(arguments.substr(0, colon).c_str(), nullptr, 10));
    const auto skip = static_cast<int32_t>(std::strtol(arguments.substr(colon + 1).c_str(), nullptr, 10));
    Area endpoint(CONNWALK_ENDPOINT_SIZE);
    Area state(CONNWALK_STATE_SIZE);
    Put("result", function(port, endpoint.data(), state.data(), skip));
    PutText("endpoint", endpoint);
    PutText("state", state);
}

bool HandleOpen(const char *variable) {
    char text[32] = "";
    if (GetEnvironmentVariableA(variable, text, sizeof text) == 0) {
        return false;
    }
    const auto handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(std::strtoll(text, nullptr, 10)));
    DWORD flags = 0;
    return handle != nullptr && GetHandleInformation(handle, &flags) != FALSE;
}

void AgentReport() {
    const char *const counters[] = {"CWAGENT_ATTACHES",    "CWAGENT_DETACHES",     "CWAGENT_INITS",
                                    "CWAGENT_BAD_INITS",   "CWAGENT_QUERIES",      "CWAGENT_BAD_REQUESTS",
                                    "CWAGENT_FOREIGN_NAMES", "CWAGENT_TRAP_EVENT_OK"};
    for (const char *counter : counters) {
        char text[32] = "0";
        GetEnvironmentVariableA(counter, text, sizeof text);
        Put(counter, text);
    }
    Put("trap_event_open", HandleOpen("CWAGENT_TRAP_EVENT") ? 1 : 0);
    Put("own_event_open", HandleOpen("CWAGENT_OWN_EVENT") ? 1 : 0);
}

// The process's open handles. Wine answers GetProcessHandleCount with 0,
// so they are counted by asking after every small handle value instead.
void Handles() {
    DWORD reported = 0;
    GetProcessHandleCount(GetCurrentProcess(), &reported);
    long long counted = 0;
    for (uintptr_t value = 4; value < 0x2000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE) {
            ++counted;
        }
    }
    Put("handles_reported", static_cast<long long>(reported));
    Put("handles", counted);
}

// Calls each of the four functions `times` times, keeping only the results.
void Loop(HMODULE module, long times) {
    const auto tcp = Resolve<ListingFunction>(module, "GetTCPEndpoints");
    const auto udp = Resolve<ListingFunction>(module, "GetUDPEndpoints");
    const auto local = Resolve<LookupFunction>(module, "GetTCPLocalPortInfo");
    const auto remote = Resolve<LookupFunction>(module, "GetTCPRemotePortInfo");
    if (tcp == nullptr || udp == nullptr || local == nullptr || remote == nullptr) {
        Put("error", "missing export");
        return;
    }
    Area listing(CONNWALK_LISTING_SIZE);
    Area endpoint(CONNWALK_ENDPOINT_SIZE);
    Area state(CONNWALK_STATE_SIZE);
    long failures = 0;
    for (long i = 0; i < times; ++i) {
        failures += tcp(listing.data()) < 3 ? 1 : 0;
        failures += udp(listing.data()) < 3 ? 1 : 0;
        failures += local(21, endpoint.data(), state.data(), 0) != 1 ? 1 : 0;
        failures += remote(25, endpoint.data(), state.data(), 0) != 1 ? 1 : 0;
    }
    Put("loop_failures", failures);
}

}  // namespace

int main(int argc, char **argv) {
    HMODULE module = LoadLibraryA("connwalk.dll");
    Put("loaded", module != nullptr ? 1 : 0);
    if (module == nullptr) {
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string command(argv[i]);
        Put("command", Escape(command.data(), command.size()));
        if (command == "exports") {
            Exports(module);
        } else if (command == "hostname") {
            HostName();
        } else if (command == "tcp") {
            Listing(module, "GetTCPEndpoints");
        } else if (command == "udp") {
            Listing(module, "GetUDPEndpoints");
        } else if (command.rfind("local:", 0) == 0) {
            Lookup(module, "GetTCPLocalPortInfo", command.substr(6));
        } else if (command.rfind("remote:", 0) == 0) {
            Lookup(module, "GetTCPRemotePortInfo", command.substr(7));
        } else if (command == "handles") {
            Handles();
        } else if (command.rfind("loop:", 0) == 0) {
            Loop(module, std::strtol(command.substr(5).c_str(), nullptr, 10));
        } else if (command == "agent") {
            AgentReport();
        } else {
            Put("error", "unknown command");
        }
        std::printf("end\n");
        std::fflush(stdout);
    }
    FreeLibrary(module);
    return 0;
}
