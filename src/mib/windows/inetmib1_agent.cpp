// The platform's agent on Windows: inetmib1.dll, the MIB-II extension agent
// that the SNMP service loads, driven here through its two entry points.
// Every start loads and initialises it afresh into a record of its own, and
// close gives back what that start took, so that nothing is shared between
// calls or outlives them.
#include <winsock2.h>
#include <windows.h>
#include <snmp.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
#include <vector>

#include "mib/agent.h"

namespace connwalk {

namespace {

static_assert(sizeof(UINT) == sizeof(uint32_t), "sub-identifiers are 32-bit on both sides");

constexpr WORD kSocketsVersion = 0x0101;  // Windows Sockets 1.1

// An answer to one binding, copied out of the agent's memory so that the
// agent's allocations can be given back at once.
struct Answer {
    std::vector<uint32_t> name;
    std::vector<uint8_t> bytes;
};

struct PlatformState {
    HMODULE module = nullptr;
    PFNSNMPEXTENSIONQUERY query = nullptr;
    bool socketsStarted = false;
    HANDLE createdEvent = nullptr;
    // The agent may put a trap event of its own here; that one is the
    // agent's to close, not ours.
    HANDLE trapEvent = nullptr;
    AsnObjectIdentifier supportedView{0, nullptr};
    std::vector<SnmpVarBind> request;
    std::vector<Answer> answers;
};

template <typename Function>
Function EntryPoint(HMODULE module, const char *name) {
    // A FARPROC is only an address: going through the generic function
    // pointer type tells the compiler that the real type is known here.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Gives back what a start took, in the reverse order of taking it.
void Release(PlatformState *state) {
    // The supported view stays: the extension-agent interface lets an agent
    // point it at its own static storage (the SDK's sample agent does), so
    // only the agent could tell whether it may be freed.
    if (state->createdEvent != nullptr) {
        CloseHandle(state->createdEvent);
    }
    // An agent that exports SnmpExtensionClose may keep threads or
    // registrations running until that is called, and calling it would stop
    // them also for anyone else in the process who uses the agent; such an
    // agent stays loaded. One without it has no way to be told to stop, so
    // by the interface's rules it must bear being unloaded at any time (the
    // SNMP service unloads it so), and our load is given back.
    if (state->module != nullptr && GetProcAddress(state->module, "SnmpExtensionClose") == nullptr) {
        FreeLibrary(state->module);
    }
    if (state->socketsStarted) {
        WSACleanup();
    }
    delete state;
}

// The agent frees the name that it is sent and puts its own in its place, as
// it does for the SNMP service; so the name goes out in memory from the SNMP
// utility allocator, which is also what frees the agent's answers.
bool PutName(const ObjectName &name, AsnObjectIdentifier &out) {
    out = AsnObjectIdentifier{0, nullptr};
    if (name.count == 0) {
        return true;
    }
    if (name.ids == nullptr || name.count > UINT_MAX / sizeof(UINT)) {
        return false;
    }
    auto *ids = static_cast<UINT *>(SnmpUtilMemAlloc(static_cast<UINT>(name.count * sizeof(UINT))));
    if (ids == nullptr) {
        return false;
    }
    std::copy_n(name.ids, name.count, ids);
    out = AsnObjectIdentifier{name.count, ids};
    return true;
}

// Copies the agent's answer into `answer` and points `binding` at it. A
// value is read by its own type tag and never past its own length.
void TakeAnswer(const SnmpVarBind &bind, Answer &answer, Binding &binding) {
    const UINT *ids = bind.name.ids;
    const UINT count = ids == nullptr ? 0 : bind.name.idLength;
    answer.name.assign(ids, ids + count);
    answer.bytes.clear();

    Value value;
    value.type = bind.value.asnType;
    switch (bind.value.asnType) {
        case ASN_INTEGER:
            value.number = static_cast<int32_t>(bind.value.asnValue.number);
            break;
        case ASN_COUNTER32:
        case ASN_GAUGE32:
        case ASN_TIMETICKS:
        case ASN_UINTEGER32:
            value.number = static_cast<int32_t>(bind.value.asnValue.unsigned32);
            break;
        case ASN_COUNTER64:
            value.number = static_cast<int32_t>(static_cast<uint32_t>(bind.value.asnValue.counter64.QuadPart));
            break;
        case ASN_OCTETSTRING:
        case ASN_BITS:
        case ASN_IPADDRESS:
        case ASN_OPAQUE:
        case ASN_SEQUENCE: {
            const BYTE *stream = bind.value.asnValue.string.stream;
            if (stream != nullptr) {
                answer.bytes.assign(stream, stream + bind.value.asnValue.string.length);
            }
            break;
        }
        default:
            break;
    }
    value.length = static_cast<uint32_t>(answer.bytes.size());
    value.bytes = answer.bytes.empty() ? nullptr : answer.bytes.data();
    binding.name = ObjectName{static_cast<uint32_t>(answer.name.size()),
                              answer.name.empty() ? nullptr : answer.name.data()};
    binding.value = value;
}

bool Query(void *opaque, uint8_t requestType, BindingList *list, int32_t *errorStatus,
           int32_t *errorIndex) {
    auto &state = *static_cast<PlatformState *>(opaque);
    if (list == nullptr || list->bindings == nullptr || list->count == 0) {
        return false;
    }
    try {
        state.request.assign(list->count, SnmpVarBind{});
        state.answers.resize(list->count);
    } catch (const std::bad_alloc &) {
        return false;
    }
    // The names are read before the answers' storage, which they may point
    // into, is overwritten.
    bool answered = true;
    for (uint32_t i = 0; i < list->count && answered; ++i) {
        state.request[i].value.asnType = ASN_NULL;
        answered = PutName(list->bindings[i].name, state.request[i].name);
    }
    if (answered) {
        SnmpVarBindList platformList{state.request.data(), list->count};
        AsnInteger32 status = SNMP_ERRORSTATUS_NOERROR;
        AsnInteger32 index = 0;
        answered = state.query(requestType, &platformList, &status, &index) != FALSE;
        if (errorStatus != nullptr) {
            *errorStatus = static_cast<int32_t>(status);
        }
        if (errorIndex != nullptr) {
            *errorIndex = static_cast<int32_t>(index);
        }
    }
    if (answered) {
        try {
            for (uint32_t i = 0; i < list->count; ++i) {
                TakeAnswer(state.request[i], state.answers[i], list->bindings[i]);
            }
        } catch (const std::bad_alloc &) {
            answered = false;
        }
    }
    // Whatever the agent left in the bindings, ours or its own, came from
    // the SNMP utility allocator, as the SNMP service too relies on.
    for (SnmpVarBind &bind : state.request) {
        SnmpUtilVarBindFree(&bind);
    }
    return answered;
}

void Close(void *opaque) { Release(static_cast<PlatformState *>(opaque)); }

bool Start(void *, Agent *agent) {
    auto *state = new (std::nothrow) PlatformState;
    if (state == nullptr) {
        return false;
    }
    WSADATA sockets;
    if (WSAStartup(kSocketsVersion, &sockets) != 0) {
        Release(state);
        return false;
    }
    state->socketsStarted = true;

    state->module = LoadLibraryA("inetmib1.dll");
    if (state->module == nullptr) {
        Release(state);
        return false;
    }
    const auto init = EntryPoint<PFNSNMPEXTENSIONINIT>(state->module, "SnmpExtensionInit");
    if (init == nullptr) {
        Release(state);
        return false;
    }
    state->query = EntryPoint<PFNSNMPEXTENSIONQUERY>(state->module, "SnmpExtensionQuery");
    if (state->query == nullptr) {
        Release(state);
        return false;
    }

    state->createdEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    state->trapEvent = state->createdEvent;
    const DWORD uptimeReference = GetTickCount();
    if (!init(uptimeReference, &state->trapEvent, &state->supportedView)) {
        Release(state);
        return false;
    }
    agent->state = state;
    agent->query = Query;
    agent->close = Close;
    return true;
}

}  // namespace

AgentStarter PlatformAgent() { return AgentStarter{nullptr, Start}; }

}  // namespace connwalk
