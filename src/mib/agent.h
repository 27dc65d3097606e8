// The MIB-II agent as the walk sees it: an SNMP extension agent reduced to
// what a walk needs. Object names are counted arrays of sub-identifiers,
// values carry an ASN.1 type tag, and requests go out on a list of bindings.
// The same record is filled by the platform's agent on Windows, by the
// in-process kernel agent on Linux, and by scripted agents in tests.
#pragma once

#include <cstdint>

namespace connwalk {

inline constexpr uint8_t kAsnInteger = 0x02;
inline constexpr uint8_t kAsnOctetString = 0x04;
inline constexpr uint8_t kAsnNull = 0x05;
inline constexpr uint8_t kAsnObjectIdentifier = 0x06;
inline constexpr uint8_t kAsnIpAddress = 0x40;
inline constexpr uint8_t kAsnCounter32 = 0x41;
inline constexpr uint8_t kAsnGauge32 = 0x42;
inline constexpr uint8_t kAsnTimeTicks = 0x43;
inline constexpr uint8_t kAsnCounter64 = 0x46;
inline constexpr uint8_t kAsnEndOfMibView = 0x82;

inline constexpr uint8_t kRequestGetNext = 0xA1;

inline constexpr int32_t kErrorStatusNoError = 0;
inline constexpr int32_t kErrorStatusNoSuchName = 2;
inline constexpr int32_t kErrorStatusGenErr = 5;

struct ObjectName {
    uint32_t count = 0;
    const uint32_t *ids = nullptr;
};

// An INTEGER (and the other 32-bit types) is in `number`; an OCTET STRING or
// IpAddress is `length` bytes at `bytes`, which may be null when empty.
struct Value {
    uint8_t type = kAsnNull;
    int32_t number = 0;
    uint32_t length = 0;
    const uint8_t *bytes = nullptr;
};

struct Binding {
    ObjectName name;
    Value value;
};

struct BindingList {
    Binding *bindings = nullptr;
    uint32_t count = 0;
};

// A started agent. `query` answers one request: for GETNEXT it replaces each
// binding's name and value with the next object of the agent's view and its
// value, and returns false when the request failed. The names and values it
// writes point into the agent's own storage and stay valid until the next
// query or until `close`. The names sent are only read, never kept.
// `close` gives back everything the agent holds, answers included.
struct Agent {
    void *state = nullptr;
    bool (*query)(void *state, uint8_t requestType, BindingList *list, int32_t *errorStatus,
                  int32_t *errorIndex) = nullptr;
    void (*close)(void *state) = nullptr;
};

// How an agent is started: the platform's own, or a test's. Returns false
// when the agent could not be started; `agent` is then left empty.
struct AgentStarter {
    void *state = nullptr;
    bool (*start)(void *state, Agent *agent) = nullptr;
};

// One GETNEXT on `list`.
bool QueryNext(const Agent &agent, BindingList *list);

// Closes `agent` if it was started; safe to call on an empty record.
void CloseAgent(Agent *agent);

// Closes the agent it holds when it goes out of scope.
struct AgentGuard {
    Agent agent;
    AgentGuard() = default;
    AgentGuard(const AgentGuard &) = delete;
    AgentGuard &operator=(const AgentGuard &) = delete;
    ~AgentGuard() { CloseAgent(&agent); }
};

// Starts the agent through `starter`. Returns false when it could not be
// started.
bool StartAgent(const AgentStarter &starter, Agent *agent);

// The platform's own agent: the kernel agent on Linux, inetmib1.dll on
// Windows.
AgentStarter PlatformAgent();

}  // namespace connwalk
