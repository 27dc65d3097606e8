// The listings and the port look-ups end to end, over an agent and a name
// service whose every answer comes from the input.
//
// The agent answers each GETNEXT with whatever the input says: names of any
// length and content (cells of the table walked, of the other table,
// successors of the name sent, the name sent again, prefixes, the scalar
// after the table), values of any type with numbers and octet strings of
// any length or none, and failures. Its answers live in storage of exactly
// their size that it frees on its next answer, so that a sanitized run sees
// any read past a value or of a stale answer. When the input runs out it
// fails the query, which keeps every walk short.
//
// Input: the agent's answers from the front; the call's parameters, then
// the look-ups' answers, from the back. The last byte chooses the call
// (bits 0-1: TCP listing, UDP listing, local or remote port look-up), and
// now and then an agent that cannot start or a null output (bits 2-5 all
// set, or all but bit 2).
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "exports/listing.h"
#include "exports/port_lookup.h"
#include "exports/services.h"
#include "fuzz_input.h"
#include "harness_check.h"
#include "lookup_answer.h"
#include "mib/walk.h"
#include "text/texts.h"

namespace connwalk::fuzz {

namespace {

enum class Operation : uint8_t { TcpListing, UdpListing, LocalPort, RemotePort };

// The scalars after each table, and beyond: any prefix of these is an answer
// that leaves the table (short) or looks like a cell of column 14 or 8.
constexpr uint32_t kAfterTcp[] = {1, 3, 6, 1, 2, 1, 6, 14, 0, 0, 0, 0, 0, 0, 0};
constexpr uint32_t kAfterUdp[] = {1, 3, 6, 1, 2, 1, 7, 8, 0, 0, 0, 0, 0, 0, 0};

// A bound of the harness's own, far above what any input asks for.
constexpr long kMaxQueries = 1L << 21;

constexpr size_t kMaxRawName = 40;

// An answer before it is placed in the agent's storage.
struct Draft {
    std::vector<uint32_t> name;
    bool nullName = false;
    uint8_t type = kAsnNull;
    int32_t number = 0;
    std::string bytes;
    bool nullBytes = false;
    int32_t errorStatus = kErrorStatusNoError;
};

struct FuzzAgent {
    FuzzInput *input = nullptr;
    std::span<const uint32_t> entry;  // the walked table's entry name
    std::span<const uint32_t> after;  // the scalar after it
    std::span<const uint32_t> otherEntry;
    bool startFails = false;

    long starts = 0;
    long closes = 0;
    long queries = 0;
    bool open = false;
    bool failed = false;  // a query returned false

    // The last answer, in storage of exactly its size.
    std::unique_ptr<uint32_t[]> name;
    std::unique_ptr<uint8_t[]> bytes;
    Draft last;

    // Indices of the column-1 cells answered, so that later columns can be
    // answered for the same rows at little cost of input.
    std::vector<std::vector<uint32_t>> rows;
    std::vector<std::vector<uint32_t>> queued;  // names still to answer, last first
    unsigned repeats = 0;                        // successors still to answer
};

std::vector<uint32_t> Successor(const std::vector<uint32_t> &sent) {
    std::vector<uint32_t> next = sent;
    if (next.empty() || next.back() == UINT32_MAX) {
        next.push_back(0);
    } else {
        ++next.back();
    }
    return next;
}

void ReadValue(FuzzInput &input, Draft &draft) {
    const uint8_t kind = input.Byte();
    switch (kind >> 6) {
        case 0:
            draft.type = kAsnInteger;
            draft.number = input.Int32();
            break;
        case 1:
            draft.type = kAsnIpAddress;
            draft.bytes = input.Text(4);
            break;
        case 2:
            draft.type = input.Byte();
            draft.number = input.Int32();
            draft.bytes = input.Text(input.Byte() % 9u);
            draft.nullBytes = (kind & 1) != 0;
            draft.errorStatus = (kind >> 1) & 0x1F;
            break;
        default:
            draft.type = kAsnIpAddress;
            draft.bytes = input.Text(kind & 7u);
            draft.nullBytes = (kind & 8) != 0;
            draft.errorStatus = (kind >> 4) & 3;
            break;
    }
}

std::vector<uint32_t> Ids(FuzzInput &input, size_t count, bool wide) {
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < count; ++i) {
        ids.push_back(wide ? input.Bytes(4) : input.Byte());
    }
    return ids;
}

// The next answer, or false for a failed query.
bool NextAnswer(FuzzAgent &agent, const std::vector<uint32_t> &sent, Draft &draft) {
    FuzzInput &input = *agent.input;
    if (agent.queries > kMaxQueries) {
        return false;
    }
    if (!agent.queued.empty()) {
        draft.name = std::move(agent.queued.back());
        agent.queued.pop_back();
        ReadValue(input, draft);
        return true;
    }
    if (agent.repeats > 0) {
        --agent.repeats;
        draft = agent.last;
        draft.name = Successor(sent);
        return true;
    }
    if (input.Empty()) {
        return false;
    }
    const uint8_t op = input.Byte();
    const unsigned high = op >> 4;
    switch (op & 0x0F) {
        case 0:
            return false;
        case 1:  // out of the table, or just past it
            draft.name.assign(agent.after.begin(),
                              agent.after.begin() + static_cast<std::ptrdiff_t>(high % (agent.after.size() + 1)));
            break;
        case 3:  // the next name after the one sent
            draft.name = Successor(sent);
            if ((high & 1) != 0 && !sent.empty()) {
                draft.name = sent;
                draft.name.push_back(high >> 1);
            }
            break;
        case 4:  // a run of successors with one value
            draft.name = Successor(sent);
            agent.repeats = input.Byte();
            break;
        case 5: {  // one column for every row seen so far
            const uint32_t column = high;
            for (auto row = agent.rows.rbegin(); row != agent.rows.rend(); ++row) {
                std::vector<uint32_t> cell(agent.entry.begin(), agent.entry.end());
                cell.push_back(column);
                cell.insert(cell.end(), row->begin(), row->end());
                agent.queued.push_back(std::move(cell));
            }
            if (agent.queued.empty()) {
                draft.name = Successor(sent);
            } else {
                draft.name = std::move(agent.queued.back());
                agent.queued.pop_back();
            }
            break;
        }
        case 6: {  // any name at all
            const size_t count = input.Byte() % (kMaxRawName + 1);
            draft.name = Ids(input, count, (high & 1) != 0);
            draft.nullName = (high & 6) == 6;
            break;
        }
        case 7: {  // part of the entry's name and anything after it
            const size_t kept = high % (agent.entry.size() + 1);
            draft.name.assign(agent.entry.begin(), agent.entry.begin() + static_cast<std::ptrdiff_t>(kept));
            const std::vector<uint32_t> tail = Ids(input, input.Byte() % 12u, false);
            draft.name.insert(draft.name.end(), tail.begin(), tail.end());
            break;
        }
        case 8:  // no progress
            draft.name = sent;
            break;
        default: {  // a cell: of the table walked, or now and then of the other
            const std::span<const uint32_t> entry = (high & 1) != 0 && high >= 12 ? agent.otherEntry : agent.entry;
            draft.name.assign(entry.begin(), entry.end());
            draft.name.push_back(input.Byte());
            const uint8_t shape = input.Byte();
            const std::vector<uint32_t> index = Ids(input, shape & 0x0Fu, (shape & 0x10) != 0);
            draft.name.insert(draft.name.end(), index.begin(), index.end());
            break;
        }
    }
    ReadValue(input, draft);
    return true;
}

// Places `draft` in storage of its exact size and points the binding at it.
// The new storage is taken before the old is given back, so the two never
// share an address and a read of the old answer is a use after free.
void Place(FuzzAgent &agent, Draft draft, Binding &binding) {
    const size_t count = draft.name.size();
    std::unique_ptr<uint32_t[]> name(draft.nullName ? nullptr : new uint32_t[count]);
    if (name != nullptr) {
        std::copy(draft.name.begin(), draft.name.end(), name.get());
    }
    std::unique_ptr<uint8_t[]> bytes(draft.nullBytes ? nullptr : new uint8_t[draft.bytes.size()]);
    if (bytes != nullptr) {
        std::memcpy(bytes.get(), draft.bytes.data(), draft.bytes.size());
    }
    agent.name = std::move(name);
    agent.bytes = std::move(bytes);

    binding.name = ObjectName{static_cast<uint32_t>(count), agent.name.get()};
    binding.value = Value{draft.type, draft.number, static_cast<uint32_t>(draft.bytes.size()), agent.bytes.get()};

    const size_t columnAt = agent.entry.size();
    if (count > columnAt && std::equal(agent.entry.begin(), agent.entry.end(), draft.name.begin()) &&
        draft.name[columnAt] == 1) {
        agent.rows.emplace_back(draft.name.begin() + static_cast<std::ptrdiff_t>(columnAt) + 1, draft.name.end());
    }
    agent.last = std::move(draft);
}

bool Query(void *state, uint8_t requestType, BindingList *list, int32_t *errorStatus, int32_t *errorIndex) {
    auto &agent = *static_cast<FuzzAgent *>(state);
    FUZZ_CHECK(agent.open);
    FUZZ_CHECK(!agent.failed);  // a failed query ends the walk
    FUZZ_CHECK(requestType == kRequestGetNext);
    FUZZ_CHECK(list != nullptr && list->count == 1 && list->bindings != nullptr);
    FUZZ_CHECK(errorStatus != nullptr && errorIndex != nullptr);
    Binding &binding = list->bindings[0];
    FUZZ_CHECK(binding.name.count == 0 || binding.name.ids != nullptr);
    // Read whole, as an agent reads the name sent.
    const std::vector<uint32_t> sent(binding.name.ids, binding.name.ids + binding.name.count);
    ++agent.queries;
    Draft draft;
    if (!NextAnswer(agent, sent, draft)) {
        agent.failed = true;
        return false;
    }
    *errorStatus = draft.errorStatus;
    *errorIndex = draft.errorStatus != kErrorStatusNoError ? 1 : 0;
    Place(agent, std::move(draft), binding);
    return true;
}

void Close(void *state) {
    auto &agent = *static_cast<FuzzAgent *>(state);
    FUZZ_CHECK(agent.open);
    agent.open = false;
    ++agent.closes;
    agent.name.reset();
    agent.bytes.reset();
}

bool Start(void *state, Agent *agent) {
    auto &fuzzAgent = *static_cast<FuzzAgent *>(state);
    ++fuzzAgent.starts;
    if (fuzzAgent.startFails) {
        return false;
    }
    fuzzAgent.open = true;
    agent->state = state;
    agent->query = Query;
    agent->close = Close;
    return true;
}

// Look-ups answered from the back of the input: found or not, names of any
// length (past the area's size too) and any bytes, a clock that a reverse
// look-up moves by any amount, backwards included. Now and then a look-up
// fills the whole area without a NUL, or scribbles on it and finds nothing.
struct FuzzNames {
    FuzzInput *input = nullptr;
    std::chrono::steady_clock::time_point clock{};
    bool newline = false;  // some name handed out held a line feed
    bool dirty = false;    // ... or a carriage return or a backslash
};

bool Answer(FuzzNames &names, char *out, size_t size) {
    const LookupAnswer answer = AnswerLookup(*names.input, out, size, 1024);
    if (!answer.found) {
        return false;
    }
    const std::string_view given = answer.Given();
    names.newline = names.newline || given.find('\n') != std::string_view::npos;
    names.dirty = names.dirty || given.find_first_of("\n\r\\") != std::string_view::npos;
    return true;
}

bool ServiceName(void *state, int32_t, const char *protocol, char *out, size_t size) {
    FUZZ_CHECK(protocol != nullptr &&
               (std::strcmp(protocol, "tcp") == 0 || std::strcmp(protocol, "udp") == 0));
    return Answer(*static_cast<FuzzNames *>(state), out, size);
}

// The whole service database, as a call reads it once: entries of any
// port, protocol and name, and now and then a reading that fails part way,
// after which the call looks ports up one by one.
bool EachService(void *state, ServiceVisitor visit, void *context) {
    auto &names = *static_cast<FuzzNames *>(state);
    FuzzInput &input = *names.input;
    const uint8_t header = input.BackByte();
    constexpr const char *kProtocols[] = {"tcp", "udp", "", "ddp"};
    for (size_t i = 0, count = header % 24u; i < count; ++i) {
        const auto port = static_cast<uint16_t>(input.BackBytes(2));
        const char *protocol = kProtocols[input.BackByte() % std::size(kProtocols)];
        const std::string name = input.BackText(input.BackByte() % 300u);
        const std::string_view given(name.c_str());
        names.newline = names.newline || given.find('\n') != std::string_view::npos;
        names.dirty = names.dirty || given.find_first_of("\n\r\\") != std::string_view::npos;
        visit(context, port, protocol, name.c_str());
    }
    return (header & 0x80) == 0;
}

bool HostName(void *state, const Ipv4Address &, char *out, size_t size) {
    auto &names = *static_cast<FuzzNames *>(state);
    names.clock += std::chrono::milliseconds((int{names.input->BackByte()} - 32) * 16);
    return Answer(names, out, size);
}

bool LocalName(void *state, char *out, size_t size) { return Answer(*static_cast<FuzzNames *>(state), out, size); }

std::chrono::steady_clock::time_point Now(void *state) { return static_cast<FuzzNames *>(state)->clock; }

bool KnownLabel(std::string_view label) {
    constexpr std::string_view kLabels[] = {"???",      "CLOSED",     "LISTENING", "SYN_SENT", "SEN_RECEIVED",
                                            "ESTABLISHED", "FIN_WAIT", "FIN_WAIT2", "CLOSE_WAIT", "CLOSING",
                                            "LAST_ACK", "TIME_WAIT",  "DELETE_TCB"};
    return std::find(std::begin(kLabels), std::end(kLabels), label) != std::end(kLabels);
}

bool EndpointShape(std::string_view endpoint) {
    return endpoint.size() >= 3 && endpoint.find(':') != std::string_view::npos;
}

// With names free of the separators, the listing splits into its records
// and fields.
void CheckRecords(std::string_view listing, bool tcp) {
    while (!listing.empty()) {
        const size_t end = listing.find('\\');
        FUZZ_CHECK(end != std::string_view::npos);
        std::string_view record = listing.substr(0, end);
        listing.remove_prefix(end + 1);
        if (!tcp) {
            FUZZ_CHECK(record.find('\r') == std::string_view::npos);
            FUZZ_CHECK(EndpointShape(record));
            continue;
        }
        const size_t first = record.find('\r');
        FUZZ_CHECK(first != std::string_view::npos);
        const size_t second = record.find('\r', first + 1);
        FUZZ_CHECK(second != std::string_view::npos);
        FUZZ_CHECK(record.find('\r', second + 1) == std::string_view::npos);
        FUZZ_CHECK(EndpointShape(record.substr(0, first)));
        FUZZ_CHECK(EndpointShape(record.substr(first + 1, second - first - 1)));
        FUZZ_CHECK(KnownLabel(record.substr(second + 1)));
    }
}

void RunListing(Operation operation, bool nullOutput, const Services &services, const FuzzAgent &agent,
                const FuzzNames &names) {
    // Taken once: a fresh block of this size each run costs more than the
    // run itself.
    static CallerArea<kListingSize> buffer;
    buffer.Refill();
    const bool tcp = operation == Operation::TcpListing;
    if (nullOutput) {
        FUZZ_CHECK((tcp ? TcpListing(services, nullptr) : UdpListing(services, nullptr)) == 0);
        FUZZ_CHECK(agent.closes == agent.starts);
        return;
    }
    const int32_t result = tcp ? TcpListing(services, buffer.Data()) : UdpListing(services, buffer.Data());
    FUZZ_CHECK(buffer.GuardIntact());
    FUZZ_CHECK(agent.starts == 1);
    if (agent.startFails) {
        FUZZ_CHECK(result == 0 && agent.queries == 0 && agent.closes == 0);
        FUZZ_CHECK(buffer.Untouched());
        return;
    }
    FUZZ_CHECK(agent.closes == 1);
    if (agent.failed) {
        FUZZ_CHECK(result == 1);
        FUZZ_CHECK(buffer.Untouched());
        return;
    }
    FUZZ_CHECK(result == 0 || result >= 3);
    const size_t length = buffer.TextLength();
    FUZZ_CHECK(length < kListingSize);
    FUZZ_CHECK(length == static_cast<size_t>(result));
    const std::string_view listing(buffer.Data(), length);
    if (length > 0) {
        FUZZ_CHECK(listing.back() == '\\');
    }
    if (!names.newline) {
        FUZZ_CHECK(listing.find('\n') == std::string_view::npos);
    }
    if (!names.dirty) {
        CheckRecords(listing, tcp);
    }
}

void RunPortInfo(Operation operation, bool nullOutput, int32_t port, int32_t skipFirst, const Services &services,
                 const FuzzAgent &agent) {
    CallerArea<kEndpointTextSize> endpoint;
    CallerArea<kStateLabelSize> state;
    const PortSide side = operation == Operation::LocalPort ? PortSide::Local : PortSide::Remote;
    if (nullOutput) {
        // Either output missing: nothing is written to the other.
        const bool noEndpoint = (port & 1) != 0;
        FUZZ_CHECK(TcpPortInfo(services, side, port, noEndpoint ? nullptr : endpoint.Data(),
                               noEndpoint ? state.Data() : nullptr, skipFirst) == 0);
        FUZZ_CHECK(endpoint.Untouched() && state.Untouched());
        FUZZ_CHECK(agent.closes == agent.starts);
        return;
    }
    const int32_t result = TcpPortInfo(services, side, port, endpoint.Data(), state.Data(), skipFirst);
    FUZZ_CHECK(endpoint.GuardIntact() && state.GuardIntact());
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(agent.starts == 1);
    FUZZ_CHECK(agent.closes == (agent.startFails ? 0 : 1));
    if (agent.startFails || agent.failed || result == 0) {
        FUZZ_CHECK(result == (agent.failed ? 1 : 0));
        FUZZ_CHECK(endpoint.Untouched() && state.Untouched());
        return;
    }
    FUZZ_CHECK(endpoint.TextLength() < kEndpointTextSize);
    FUZZ_CHECK(EndpointShape(std::string_view(endpoint.Data(), endpoint.TextLength())));
    FUZZ_CHECK(state.TextLength() < kStateLabelSize);
    FUZZ_CHECK(KnownLabel(std::string_view(state.Data(), state.TextLength())));
}

}  // namespace

}  // namespace connwalk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace connwalk;
    using namespace connwalk::fuzz;
    FuzzInput input{data, size};
    const uint8_t setup = input.BackByte();
    const auto operation = static_cast<Operation>(setup & 3);
    int32_t port = 0;
    int32_t skipFirst = 0;
    if (operation == Operation::LocalPort || operation == Operation::RemotePort) {
        port = input.BackInt32();
        skipFirst = static_cast<int8_t>(input.BackByte());
    }

    const bool udp = operation == Operation::UdpListing;
    FuzzAgent agent;
    agent.input = &input;
    agent.entry = udp ? std::span<const uint32_t>(kUdpEntry) : std::span<const uint32_t>(kTcpConnEntry);
    agent.otherEntry = udp ? std::span<const uint32_t>(kTcpConnEntry) : std::span<const uint32_t>(kUdpEntry);
    agent.after = udp ? std::span<const uint32_t>(kAfterUdp) : std::span<const uint32_t>(kAfterTcp);
    agent.startFails = (setup >> 2 & 0x0F) == 0x0F;
    const bool nullOutput = (setup >> 2 & 0x0F) == 0x0E;
    FuzzNames names;
    names.input = &input;
    const Services services{AgentStarter{&agent, Start}, NameService{&names, ServiceName, HostName, LocalName, Now, EachService}};

    if (operation == Operation::TcpListing || operation == Operation::UdpListing) {
        RunListing(operation, nullOutput, services, agent, names);
    } else {
        RunPortInfo(operation, nullOutput, port, skipFirst, services, agent);
    }
    return 0;
}
