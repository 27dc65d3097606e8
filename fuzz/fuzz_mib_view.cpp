// The kernel agent's MIB-II view, over rows and names from the input.
//
// GETNEXT from any name must answer the first object of the view after it,
// with that object's value, or the end of the view; a table the source
// cannot read must fail the answer and leave the binding as it was. A whole
// walk through the agent must then give back the rows the source gave,
// in index order, one per index.
//
// The view is checked against a model of its own: every object name of the
// view (the scalars of the tcp and udp groups and the cells of both tables
// over the rows' distinct indices), sorted.
//
// Input: the rows, counters and the source's failures from the back; the
// names to ask for from the front.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "fuzz_input.h"
#include "harness_check.h"
#include "mib/agent.h"
#include "mib/linux/kernel_agent.h"
#include "mib/linux/mib_view.h"
#include "mib/walk.h"

namespace connwalk::fuzz {

namespace {

using Name = std::vector<uint32_t>;

constexpr int32_t kTimeWait = 11;
constexpr size_t kMaxRows = 48;
constexpr size_t kMaxQueries = 256;

struct Source {
    std::vector<TcpEntry> tcp;
    std::vector<UdpEntry> udp;
    kernel::MibCounters counters;
    bool tcpFails = false;
    bool udpFails = false;
    bool countersFail = false;
    long tcpReads = 0;
    long udpReads = 0;
};

bool ReadTcp(void *state, std::vector<TcpEntry> *rows) {
    auto &source = *static_cast<Source *>(state);
    ++source.tcpReads;
    rows->insert(rows->end(), source.tcp.begin(), source.tcp.end());
    return !source.tcpFails;
}

bool ReadUdp(void *state, std::vector<UdpEntry> *rows) {
    auto &source = *static_cast<Source *>(state);
    ++source.udpReads;
    rows->insert(rows->end(), source.udp.begin(), source.udp.end());
    return !source.udpFails;
}

bool ReadCounters(void *state, kernel::MibCounters *counters) {
    auto &source = *static_cast<Source *>(state);
    *counters = source.counters;
    return !source.countersFail;
}

Name TcpIndex(const TcpEntry &row) {
    const uint8_t *local = row.localAddress.bytes;
    const uint8_t *remote = row.remoteAddress.bytes;
    return {local[0],  local[1],  local[2],  local[3],  static_cast<uint32_t>(row.localPort),
            remote[0], remote[1], remote[2], remote[3], static_cast<uint32_t>(row.remotePort)};
}

Name UdpIndex(const UdpEntry &row) {
    const uint8_t *local = row.localAddress.bytes;
    return {local[0], local[1], local[2], local[3], static_cast<uint32_t>(row.localPort)};
}

// What the view must answer for one of its objects.
enum class Object { Scalar, TcpCell, UdpCell };

struct ModelObject {
    Name name;
    Object object = Object::Scalar;
    uint8_t type = kAsnNull;  // of a scalar
    uint64_t count = 0;       // of a scalar, as the source gave it
};

struct Model {
    std::vector<ModelObject> objects;              // in name order
    std::map<Name, std::vector<int32_t>> tcpStates;  // the states given for each index
    std::set<Name> tcpIndices;
    std::set<Name> udpIndices;
};

Name Entry(uint32_t group, uint32_t number) { return {1, 3, 6, 1, 2, 1, group, number, 1}; }

Model BuildModel(const Source &source) {
    Model model;
    const kernel::MibCounters counters = source.countersFail ? kernel::MibCounters{} : source.counters;
    auto scalar = [&](uint32_t group, uint32_t number, uint8_t type, uint64_t count) {
        model.objects.push_back(ModelObject{{1, 3, 6, 1, 2, 1, group, number, 0}, Object::Scalar, type, count});
    };
    for (uint32_t number = 1; number <= 15; ++number) {
        if (number == 13) {
            continue;
        }
        const uint8_t type = number <= 4 ? kAsnInteger : number == 9 ? kAsnGauge32 : kAsnCounter32;
        scalar(6, number, type, counters.tcp[number]);
    }
    for (uint32_t number = 1; number <= 4; ++number) {
        scalar(7, number, kAsnCounter32, counters.udp[number]);
    }
    // The 64-bit counts of datagrams in and out.
    scalar(7, 8, kAsnCounter64, counters.udp[1]);
    scalar(7, 9, kAsnCounter64, counters.udp[4]);

    for (const TcpEntry &row : source.tcp) {
        model.tcpIndices.insert(TcpIndex(row));
        model.tcpStates[TcpIndex(row)].push_back(row.state);
    }
    for (const UdpEntry &row : source.udp) {
        model.udpIndices.insert(UdpIndex(row));
    }
    for (uint32_t column = 1; column <= 5; ++column) {
        for (const Name &index : model.tcpIndices) {
            Name name = Entry(6, 13);
            name.push_back(column);
            name.insert(name.end(), index.begin(), index.end());
            model.objects.push_back(ModelObject{name, Object::TcpCell, kAsnNull, 0});
        }
    }
    for (uint32_t column = 1; column <= 2; ++column) {
        for (const Name &index : model.udpIndices) {
            Name name = Entry(7, 5);
            name.push_back(column);
            name.insert(name.end(), index.begin(), index.end());
            model.objects.push_back(ModelObject{name, Object::UdpCell, kAsnNull, 0});
        }
    }
    std::sort(model.objects.begin(), model.objects.end(),
              [](const ModelObject &a, const ModelObject &b) { return a.name < b.name; });
    return model;
}

// A state the view may give for `index`: one the source gave, and not
// TIME_WAIT when the source also gave a connection in use there.
bool StateFits(const Model &model, const Name &index, int32_t state) {
    const auto found = model.tcpStates.find(index);
    FUZZ_CHECK(found != model.tcpStates.end());
    const std::vector<int32_t> &states = found->second;
    if (std::find(states.begin(), states.end(), state) == states.end()) {
        return false;
    }
    return state != kTimeWait || std::all_of(states.begin(), states.end(), [](int32_t s) { return s == kTimeWait; });
}

void CheckAddressValue(const Value &value, const uint32_t *index) {
    FUZZ_CHECK(value.type == kAsnIpAddress && value.length == 4 && value.bytes != nullptr);
    for (size_t i = 0; i < 4; ++i) {
        FUZZ_CHECK(value.bytes[i] == index[i]);
    }
}

void CheckIntegerValue(const Value &value, uint32_t id) {
    FUZZ_CHECK(value.type == kAsnInteger);
    FUZZ_CHECK(value.number == static_cast<int32_t>(id));
}

void CheckValue(const Model &model, const ModelObject &object, const Value &value) {
    const Name &name = object.name;
    const uint32_t column = name.size() > 9 ? name[9] : 0;
    const uint32_t *index = name.data() + 10;
    switch (object.object) {
        case Object::Scalar:
            FUZZ_CHECK(value.type == object.type);
            if (object.type == kAsnCounter64) {
                FUZZ_CHECK(value.length == 8 && value.bytes != nullptr);
                uint64_t count = 0;
                for (size_t i = 0; i < 8; ++i) {
                    count = count << 8 | value.bytes[i];
                }
                FUZZ_CHECK(count == object.count);
            } else {
                FUZZ_CHECK(value.number == static_cast<int32_t>(static_cast<uint32_t>(object.count)));
            }
            break;
        case Object::TcpCell:
            if (column == 1) {
                FUZZ_CHECK(value.type == kAsnInteger);
                FUZZ_CHECK(StateFits(model, Name(index, index + 10), value.number));
            } else if (column == 2) {
                CheckAddressValue(value, index);
            } else if (column == 3) {
                CheckIntegerValue(value, index[4]);
            } else if (column == 4) {
                CheckAddressValue(value, index + 5);
            } else {
                CheckIntegerValue(value, index[9]);
            }
            break;
        case Object::UdpCell:
            if (column == 1) {
                CheckAddressValue(value, index);
            } else {
                CheckIntegerValue(value, index[4]);
            }
            break;
    }
}

// A name to ask for: anything, often near or inside the view's objects.
Name InputName(FuzzInput &input, const Model &model, uint8_t op) {
    const unsigned high = op >> 3;
    switch (op & 7) {
        case 0: {
            const size_t count = input.Byte() % 25u;
            Name name;
            for (size_t i = 0; i < count; ++i) {
                name.push_back((high & 1) != 0 ? input.Bytes(4) : input.Byte());
            }
            return name;
        }
        case 1:
        case 2: {  // part of an object's name, and anything after it
            if (model.objects.empty()) {
                return {};
            }
            const ModelObject &object = model.objects[input.Byte() % model.objects.size()];
            Name name(object.name.begin(),
                      object.name.begin() + static_cast<std::ptrdiff_t>(input.Byte() % (object.name.size() + 1)));
            const size_t tail = high % 4;
            for (size_t i = 0; i < tail; ++i) {
                name.push_back(input.Byte());
            }
            return name;
        }
        default: {  // a table's entry, a column and an index
            Name name = (high & 1) != 0 ? Entry(7, 5) : Entry(6, 13);
            name.push_back(input.Byte() % 8u);
            const size_t count = input.Byte() % 12u;
            for (size_t i = 0; i < count; ++i) {
                name.push_back(input.Byte());
            }
            return name;
        }
    }
}

// One GETNEXT of `sent` (whose ids may be the last answer's own storage).
void Ask(kernel::MibView &view, const Source &source, const Model &model, Binding &binding) {
    const Name sent(binding.name.ids, binding.name.ids + binding.name.count);
    const Binding before = binding;
    int32_t status = -1;
    if (!kernel::AnswerGetNext(&view, &binding, &status)) {
        FUZZ_CHECK(source.tcpFails || source.udpFails);
        FUZZ_CHECK(binding.name.ids == before.name.ids && binding.name.count == before.name.count);
        FUZZ_CHECK(binding.value.type == before.value.type && binding.value.bytes == before.value.bytes);
        return;
    }
    const auto next = std::upper_bound(model.objects.begin(), model.objects.end(), sent,
                                       [](const Name &name, const ModelObject &object) { return name < object.name; });
    if (next == model.objects.end()) {
        FUZZ_CHECK(status == kErrorStatusNoSuchName);
        FUZZ_CHECK(binding.name.ids == before.name.ids && binding.name.count == before.name.count);
        FUZZ_CHECK(binding.value.type == kAsnNull);
        return;
    }
    FUZZ_CHECK(status == kErrorStatusNoError);
    FUZZ_CHECK(binding.name.count <= kernel::kLongestName);
    FUZZ_CHECK(binding.name.ids == view.answerName);
    const Name answer(binding.name.ids, binding.name.ids + binding.name.count);
    FUZZ_CHECK(answer > sent);
    FUZZ_CHECK(answer == next->name);
    CheckValue(model, *next, binding.value);
}

// A whole walk through the agent over the same source.
void CheckWalks(Source &source, const Model &model) {
    kernel::RowSource rows{&source, ReadTcp, ReadUdp, ReadCounters};
    {
        AgentGuard guard;
        FUZZ_CHECK(StartAgent(kernel::RowSourceAgent(&rows), &guard.agent));
        std::vector<TcpEntry> entries;
        const WalkEnd end = WalkTcpTable(guard.agent, entries);
        if (source.tcpFails) {
            FUZZ_CHECK(end == WalkEnd::QueryFailed);
        } else {
            FUZZ_CHECK(end == WalkEnd::Complete);
            FUZZ_CHECK(entries.size() == model.tcpIndices.size());
            auto index = model.tcpIndices.begin();
            for (const TcpEntry &entry : entries) {
                FUZZ_CHECK(TcpIndex(entry) == *index);
                FUZZ_CHECK(StateFits(model, *index, entry.state));
                ++index;
            }
        }
    }
    {
        AgentGuard guard;
        FUZZ_CHECK(StartAgent(kernel::RowSourceAgent(&rows), &guard.agent));
        std::vector<UdpEntry> entries;
        const WalkEnd end = WalkUdpTable(guard.agent, entries);
        if (source.udpFails) {
            FUZZ_CHECK(end == WalkEnd::QueryFailed);
        } else {
            FUZZ_CHECK(end == WalkEnd::Complete);
            FUZZ_CHECK(entries.size() == model.udpIndices.size());
            auto index = model.udpIndices.begin();
            for (const UdpEntry &entry : entries) {
                FUZZ_CHECK(UdpIndex(entry) == *index);
                ++index;
            }
        }
    }
}

Ipv4Address InputAddress(FuzzInput &input) {
    // Few distinct addresses, so that rows share them and indices collide.
    const uint8_t kind = input.BackByte();
    switch (kind & 3) {
        case 0:
            return Ipv4Address{};
        case 1:
            return Ipv4Address{{127, 0, 0, static_cast<uint8_t>(kind >> 2)}};
        default:
            return Ipv4Address{{static_cast<uint8_t>(input.BackByte()), static_cast<uint8_t>(kind), 0,
                                static_cast<uint8_t>(input.BackByte())}};
    }
}

int32_t InputPort(FuzzInput &input) {
    const uint8_t kind = input.BackByte();
    return (kind & 0x80) != 0 ? input.BackInt32() : static_cast<int32_t>(kind) * 7 + 1;
}

}  // namespace

}  // namespace connwalk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace connwalk;
    using namespace connwalk::fuzz;
    FuzzInput input{data, size};
    Source source;
    const uint8_t flags = input.BackByte();
    source.tcpFails = (flags & 0x07) == 0x07;
    source.udpFails = (flags & 0x38) == 0x38;
    source.countersFail = (flags & 0x40) != 0;
    const size_t tcpRows = input.BackByte() % (kMaxRows + 1);
    for (size_t i = 0; i < tcpRows && !input.Empty(); ++i) {
        TcpEntry row;
        row.state = static_cast<int8_t>(input.BackByte());
        row.localAddress = InputAddress(input);
        row.localPort = InputPort(input);
        row.remoteAddress = InputAddress(input);
        row.remotePort = InputPort(input);
        source.tcp.push_back(row);
    }
    const size_t udpRows = input.BackByte() % (kMaxRows + 1);
    for (size_t i = 0; i < udpRows && !input.Empty(); ++i) {
        UdpEntry row;
        row.localAddress = InputAddress(input);
        row.localPort = InputPort(input);
        source.udp.push_back(row);
    }
    const uint64_t seed = uint64_t{input.BackBytes(4)} * 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < 16; ++i) {
        source.counters.tcp[i] = seed >> i;
    }
    for (size_t i = 0; i < 5; ++i) {
        source.counters.udp[i] = seed << i;
    }
    const Model model = BuildModel(source);

    kernel::MibView view;
    view.source = kernel::RowSource{&source, ReadTcp, ReadUdp, ReadCounters};
    Binding binding;
    Name sent;
    for (size_t query = 0; query < kMaxQueries && !input.Empty(); ++query) {
        const uint8_t op = input.Byte();
        if ((op & 0xC0) == 0xC0 && binding.name.ids != nullptr) {
            // The walk's way: the name as the last answer left it.
        } else if ((op & 0xC0) == 0x80 && (op & 7) == 7) {
            // A name whose ids are missing.
            binding.name = ObjectName{static_cast<uint32_t>(op >> 3 & 7) + 1, nullptr};
            int32_t status = 0;
            FUZZ_CHECK(!kernel::AnswerGetNext(&view, &binding, &status));
            binding = Binding{};
            continue;
        } else {
            sent = InputName(input, model, op);
            binding.name = ObjectName{static_cast<uint32_t>(sent.size()), sent.data()};
        }
        Ask(view, source, model, binding);
    }
    // A snapshot: each table read at most once when it could be read.
    FUZZ_CHECK(source.tcpFails || source.tcpReads <= 1);
    FUZZ_CHECK(source.udpFails || source.udpReads <= 1);

    CheckWalks(source, model);
    return 0;
}
