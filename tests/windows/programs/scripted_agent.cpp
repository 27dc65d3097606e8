// A stand-in for inetmib1.dll: an SNMP extension agent serving a fixed view
// of tcpConnTable and udpTable, with the scalars around them, and checking
// how it is driven. It keeps the SNMP service's rules for memory: it frees
// the name it is sent and answers with names and values from the SNMP
// utility allocator, which the caller then frees.
//
// The test picks its behaviour through CONNWALK_SCRIPTED_AGENT, a list of
// words separated by commas:
//   fail-init       SnmpExtensionInit fails
//   fail-query=N    the N-th query after initialisation (from 0) fails
//   empty           both tables are empty
//   own-trap-event  the agent puts a trap event of its own in the slot
//
// What it saw goes into the process's environment, which outlives the
// module when the caller unloads it (CWAGENT_* counters, see Report).
#include <windows.h>
#include <snmp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using Oid = std::vector<UINT>;

struct Object {
    Oid name;
    BYTE type = ASN_INTEGER;
    int32_t number = 0;
    BYTE address[4] = {0, 0, 0, 0};
};

struct Mode {
    bool failInit = false;
    long failQuery = -1;
    bool empty = false;
    bool ownTrapEvent = false;
};

// This module's own state: the view and the queries since initialisation.
std::vector<Object> view;
long queriesSinceInit = 0;
Mode mode;

long Counter(const char *name) {
    char text[32] = "";
    if (GetEnvironmentVariableA(name, text, sizeof text) == 0) {
        return 0;
    }
    return std::strtol(text, nullptr, 10);
}

void SetCounter(const char *name, long long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld", value);
    SetEnvironmentVariableA(name, text);
}

void Bump(const char *name) { SetCounter(name, Counter(name) + 1); }

Mode ReadMode() {
    Mode result;
    char text[256] = "";
    const DWORD length = GetEnvironmentVariableA("CONNWALK_SCRIPTED_AGENT", text, sizeof text);
    if (length == 0 || length >= sizeof text) {
        return result;
    }
    std::string words(text);
    size_t start = 0;
    while (start <= words.size()) {
        size_t end = words.find(',', start);
        if (end == std::string::npos) {
            end = words.size();
        }
        const std::string word = words.substr(start, end - start);
        if (word == "fail-init") {
            result.failInit = true;
        } else if (word.rfind("fail-query=", 0) == 0) {
            result.failQuery = std::strtol(word.c_str() + 11, nullptr, 10);
        } else if (word == "empty") {
            result.empty = true;
        } else if (word == "own-trap-event") {
            result.ownTrapEvent = true;
        }
        start = end + 1;
    }
    return result;
}

struct TcpRow {
    int32_t state;
    BYTE local[4];
    UINT localPort;
    BYTE remote[4];
    UINT remotePort;
};

struct UdpRow {
    BYTE local[4];
    UINT localPort;
};

// In index order, as the agent must list them.
constexpr TcpRow kTcpRows[] = {
    {2, {0, 0, 0, 0}, 21, {0, 0, 0, 0}, 0},
    {5, {127, 0, 0, 1}, 21, {127, 0, 0, 1}, 1500},
    {5, {127, 0, 0, 1}, 1500, {127, 0, 0, 1}, 21},
    {5, {192, 0, 2, 1}, 40000, {192, 0, 2, 7}, 25},
};
constexpr UdpRow kUdpRows[] = {
    {{0, 0, 0, 0}, 53},
    {{127, 0, 0, 1}, 69},
};

Object Integer(Oid name, int32_t number, BYTE type = ASN_INTEGER) {
    Object object;
    object.name = std::move(name);
    object.type = type;
    object.number = number;
    return object;
}

Object Address(Oid name, const BYTE (&address)[4]) {
    Object object;
    object.name = std::move(name);
    object.type = ASN_IPADDRESS;
    std::memcpy(object.address, address, 4);
    return object;
}

void AppendIndex(Oid &name, const BYTE (&address)[4], UINT port) {
    for (BYTE byte : address) {
        name.push_back(byte);
    }
    name.push_back(port);
}

std::vector<Object> MakeView(bool empty) {
    std::vector<Object> objects;
    objects.push_back(Integer({1, 3, 6, 1, 2, 1, 6, 12, 0}, 0, ASN_COUNTER32));  // tcpRetransSegs
    if (!empty) {
        for (UINT column = 1; column <= 5; ++column) {
            for (const TcpRow &row : kTcpRows) {
                Oid name{1, 3, 6, 1, 2, 1, 6, 13, 1, column};
                AppendIndex(name, row.local, row.localPort);
                AppendIndex(name, row.remote, row.remotePort);
                switch (column) {
                    case 1: objects.push_back(Integer(name, row.state)); break;
                    case 2: objects.push_back(Address(name, row.local)); break;
                    case 3: objects.push_back(Integer(name, static_cast<int32_t>(row.localPort))); break;
                    case 4: objects.push_back(Address(name, row.remote)); break;
                    default: objects.push_back(Integer(name, static_cast<int32_t>(row.remotePort))); break;
                }
            }
        }
    }
    objects.push_back(Integer({1, 3, 6, 1, 2, 1, 6, 14, 0}, 0, ASN_COUNTER32));  // tcpInErrs
    objects.push_back(Integer({1, 3, 6, 1, 2, 1, 6, 15, 0}, 0, ASN_COUNTER32));  // tcpOutRsts
    for (UINT item = 1; item <= 4; ++item) {
        objects.push_back(Integer({1, 3, 6, 1, 2, 1, 7, item, 0}, 0, ASN_COUNTER32));
    }
    if (!empty) {
        for (UINT column = 1; column <= 2; ++column) {
            for (const UdpRow &row : kUdpRows) {
                Oid name{1, 3, 6, 1, 2, 1, 7, 5, 1, column};
                AppendIndex(name, row.local, row.localPort);
                if (column == 1) {
                    objects.push_back(Address(name, row.local));
                } else {
                    objects.push_back(Integer(name, static_cast<int32_t>(row.localPort)));
                }
            }
        }
    }
    objects.push_back(Integer({1, 3, 6, 1, 2, 1, 11, 1, 0}, 0, ASN_COUNTER32));  // snmpInPkts
    return objects;
}

// SNMP order: sub-identifiers as unsigned numbers, a name before the longer
// names that begin with it.
bool Less(const UINT *a, UINT aCount, const UINT *b, UINT bCount) {
    for (UINT i = 0; i < aCount && i < bCount; ++i) {
        if (a[i] != b[i]) {
            return a[i] < b[i];
        }
    }
    return aCount < bCount;
}

// A manual-reset event, not signalled, that the caller holds open.
bool IsFreshManualResetEvent(HANDLE event) {
    if (event == nullptr || WaitForSingleObject(event, 0) != WAIT_TIMEOUT) {
        return false;
    }
    const bool manual = SetEvent(event) && WaitForSingleObject(event, 0) == WAIT_OBJECT_0 &&
                        WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    ResetEvent(event);
    return manual;
}

void Answer(SnmpVarBind &bind, const Object &object) {
    AsnObjectIdentifier name{static_cast<UINT>(object.name.size()), const_cast<UINT *>(object.name.data())};
    SnmpUtilOidCpy(&bind.name, &name);
    bind.value.asnType = object.type;
    if (object.type == ASN_IPADDRESS) {
        auto *stream = static_cast<BYTE *>(SnmpUtilMemAlloc(4));
        if (stream != nullptr) {
            std::memcpy(stream, object.address, 4);
        }
        bind.value.asnValue.address.stream = stream;
        bind.value.asnValue.address.length = stream == nullptr ? 0 : 4;
        bind.value.asnValue.address.dynamic = TRUE;
    } else if (object.type == ASN_INTEGER) {
        bind.value.asnValue.number = object.number;
    } else {
        bind.value.asnValue.counter = static_cast<AsnCounter32>(object.number);
    }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        Bump("CWAGENT_ATTACHES");
    } else if (reason == DLL_PROCESS_DETACH) {
        Bump("CWAGENT_DETACHES");
    }
    return TRUE;
}

extern "C" BOOL WINAPI SnmpExtensionInit(DWORD, HANDLE *trapEvent, AsnObjectIdentifier *supportedView) {
    Bump("CWAGENT_INITS");
    mode = ReadMode();
    queriesSinceInit = 0;
    if (trapEvent == nullptr || supportedView == nullptr) {
        Bump("CWAGENT_BAD_INITS");
        return FALSE;
    }
    SetCounter("CWAGENT_TRAP_EVENT", static_cast<long long>(reinterpret_cast<intptr_t>(*trapEvent)));
    SetCounter("CWAGENT_TRAP_EVENT_OK", IsFreshManualResetEvent(*trapEvent) ? 1 : 0);
    if (mode.ownTrapEvent) {
        HANDLE own = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        SetCounter("CWAGENT_OWN_EVENT", static_cast<long long>(reinterpret_cast<intptr_t>(own)));
        *trapEvent = own;
    } else {
        *trapEvent = nullptr;  // no traps, as wine's agent answers
    }
    if (mode.failInit) {
        return FALSE;
    }
    UINT system[] = {1, 3, 6, 1, 2, 1, 1};
    AsnObjectIdentifier systemOid{7, system};
    SnmpUtilOidCpy(supportedView, &systemOid);
    try {
        view = MakeView(mode.empty);
    } catch (...) {
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI SnmpExtensionQuery(BYTE requestType, SnmpVarBindList *list, AsnInteger32 *errorStatus,
                                          AsnInteger32 *errorIndex) {
    Bump("CWAGENT_QUERIES");
    const long number = queriesSinceInit++;
    if (requestType != SNMP_PDU_GETNEXT || list == nullptr || list->len != 1 || list->list == nullptr ||
        errorStatus == nullptr || errorIndex == nullptr) {
        Bump("CWAGENT_BAD_REQUESTS");
        return FALSE;
    }
    if (number == mode.failQuery) {
        return FALSE;
    }
    SnmpVarBind &bind = list->list[0];
    const Oid sent(bind.name.ids, bind.name.ids + (bind.name.ids == nullptr ? 0 : bind.name.idLength));

    const Object *next = nullptr;
    for (const Object &object : view) {
        if (Less(sent.data(), static_cast<UINT>(sent.size()), object.name.data(),
                 static_cast<UINT>(object.name.size()))) {
            next = &object;
            break;
        }
    }
    *errorIndex = 0;
    if (next == nullptr) {
        // Past the end of the view the name stays as it was.
        *errorStatus = SNMP_ERRORSTATUS_NOSUCHNAME;
        *errorIndex = 1;
        return TRUE;
    }
    // The name sent must be the caller's to give: the agent frees it as
    // the SNMP service expects. Wine's SNMP utility allocator is the
    // process heap, so a name from anywhere else would corrupt it.
    if (bind.name.ids != nullptr && !HeapValidate(GetProcessHeap(), 0, bind.name.ids)) {
        Bump("CWAGENT_FOREIGN_NAMES");
    } else {
        SnmpUtilOidFree(&bind.name);
    }
    Answer(bind, *next);
    *errorStatus = SNMP_ERRORSTATUS_NOERROR;
    return TRUE;
}
