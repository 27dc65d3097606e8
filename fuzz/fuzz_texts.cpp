// The texts of an entry: PortText, HostText, EndpointText and StateLabel,
// with a name service whose answers come from the input.
//
// Every output goes into an area of exactly its size. Each text is checked
// against what the look-ups answered: a port text is the service's name
// (cut to the area) or the port's number, a host text the machine's name,
// the reverse look-up's name, "localhost", "0.0.0.0" or the dotted quad, an
// endpoint text the host text, a colon and the port text, cut to its area.
//
// A call's name service may also list its whole service database, once;
// then every port text comes from that listing (the first entry of a port
// and protocol, by the port's low 16 bits), unless the listing failed, when
// ports are looked up one by one.
//
// Input: a list of operations from the front; the look-ups' answers from
// the back.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_input.h"
#include "harness_check.h"
#include "lookup_answer.h"
#include "text/texts.h"

namespace connwalk::fuzz {

namespace {

// What the look-ups answered, as the texts must show it: the name found,
// or nothing when there was none.
using Answered = std::optional<std::string>;

struct FuzzNames {
    FuzzInput *input = nullptr;
    std::chrono::steady_clock::time_point clock{};
    // The answers given since the last fresh Naming.
    std::map<std::pair<int32_t, std::string>, Answered> services;
    std::map<uint32_t, Answered> hosts;
    std::optional<Answered> local;
    // The service database as this call's listing gave it.
    int listings = 0;
    bool listedWhole = false;
    std::map<std::pair<uint16_t, std::string>, std::string> listed;
    long serviceCalls = 0;
};

// One look-up; returns what the look-up returns, and sets `answered` to what
// a text may show of it.
bool Answer(FuzzNames &names, char *out, size_t size, Answered &answered) {
    const LookupAnswer answer = AnswerLookup(*names.input, out, size, 2048);
    answered.reset();
    if (!answer.found) {
        return false;
    }
    // No more than a name text's area holds; an empty name is no name.
    const std::string_view shown = answer.Given().substr(0, kNameTextSize - 1);
    if (!shown.empty()) {
        answered = std::string(shown);
    }
    return true;
}

uint32_t Key(const Ipv4Address &address) {
    return uint32_t{address.bytes[0]} << 24 | uint32_t{address.bytes[1]} << 16 | uint32_t{address.bytes[2]} << 8 |
           uint32_t{address.bytes[3]};
}

bool ServiceName(void *state, int32_t port, const char *protocol, char *out, size_t size) {
    auto &names = *static_cast<FuzzNames *>(state);
    FUZZ_CHECK(protocol != nullptr);
    ++names.serviceCalls;
    return Answer(names, out, size, names.services[{port, protocol}]);
}

constexpr const char *kProtocols[] = {"tcp", "udp", "", "ddp"};

bool EachService(void *state, ServiceVisitor visit, void *context) {
    auto &names = *static_cast<FuzzNames *>(state);
    FuzzInput &input = *names.input;
    ++names.listings;
    const uint8_t header = input.BackByte();
    const bool fails = (header & 0x80) != 0;
    for (size_t i = 0, count = header % 40u; i < count; ++i) {
        const auto port = static_cast<uint16_t>(input.BackBytes(2));
        const char *protocol = kProtocols[input.BackByte() % std::size(kProtocols)];
        const size_t length = (input.BackByte() & 1) != 0 ? input.BackBytes(2) % 600u : input.BackByte() % 24u;
        const std::string name = input.BackText(length);
        // The database hands out C strings.
        visit(context, port, protocol, name.c_str());
        names.listed.try_emplace({port, protocol}, name.substr(0, name.find('\0')));
    }
    names.listedWhole = !fails;
    return !fails;
}

bool HostName(void *state, const Ipv4Address &address, char *out, size_t size) {
    auto &names = *static_cast<FuzzNames *>(state);
    // Any time passes, backwards too.
    names.clock += std::chrono::milliseconds((int{names.input->BackByte()} - 32) * 25);
    return Answer(names, out, size, names.hosts[Key(address)]);
}

bool LocalName(void *state, char *out, size_t size) {
    auto &names = *static_cast<FuzzNames *>(state);
    if ((names.input->BackByte() & 7) == 7) {
        names.local = Answered();
        return false;
    }
    names.local.emplace();
    return Answer(names, out, size, *names.local);
}

std::chrono::steady_clock::time_point Now(void *state) { return static_cast<FuzzNames *>(state)->clock; }

std::string Number(int32_t port) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(port));
    return text;
}

std::string Dotted(const Ipv4Address &address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned{address.bytes[0]}, unsigned{address.bytes[1]},
                  unsigned{address.bytes[2]}, unsigned{address.bytes[3]});
    return text;
}

template <size_t N>
std::string TextOf(const CallerArea<N> &area) {
    const size_t length = area.TextLength();
    FUZZ_CHECK(length < N);
    FUZZ_CHECK(area.GuardIntact());
    return std::string(area.rows[0], length);
}

// A NUL-terminated text of any length and bytes, in a block of exactly its
// size; or none.
std::unique_ptr<char[]> InputText(FuzzInput &input) {
    const uint16_t header = static_cast<uint16_t>(input.Bytes(2));
    if ((header & 0x8000) != 0) {
        return nullptr;
    }
    const std::string text = input.Text(header % 1200u);
    std::unique_ptr<char[]> block(new char[text.size() + 1]);
    std::memcpy(block.get(), text.data(), text.size());
    block[text.size()] = '\0';
    return block;
}

void CheckPortText(Naming &naming, FuzzNames &names, FuzzInput &input) {
    const int32_t port = input.Int32();
    const char *protocol = kProtocols[input.Byte() % std::size(kProtocols)];
    CallerArea<kNameTextSize> out;
    const long serviceCallsBefore = names.serviceCalls;
    PortText(naming, port, protocol, out.Area());
    const std::string text = TextOf(out);
    FUZZ_CHECK(names.listings <= 1);  // a call lists the database at most once
    if (names.listedWhole) {
        FUZZ_CHECK(names.serviceCalls == serviceCallsBefore);
        const auto listed = names.listed.find({static_cast<uint16_t>(port), protocol});
        if (listed != names.listed.end() && !listed->second.empty()) {
            FUZZ_CHECK(text == listed->second.substr(0, kNameTextSize - 1));
        } else {
            FUZZ_CHECK(text == Number(port));
        }
        return;
    }
    const auto asked = names.services.find({port, protocol});
    if (asked != names.services.end() && asked->second.has_value()) {
        FUZZ_CHECK(text == *asked->second);
    } else {
        FUZZ_CHECK(text == Number(port));
    }
}

Ipv4Address InputAddress(FuzzInput &input) {
    const uint8_t kind = input.Byte();
    switch (kind & 3) {
        case 0:
            return Ipv4Address{};
        case 1:
            return Ipv4Address{{127, 0, 0, 1}};
        default: {
            Ipv4Address address;
            for (uint8_t &byte : address.bytes) {
                byte = input.Byte();
            }
            return address;
        }
    }
}

void CheckHostText(Naming &naming, FuzzNames &names, FuzzInput &input) {
    const bool useLocalName = (input.Byte() & 1) != 0;
    const Ipv4Address address = InputAddress(input);
    CallerArea<kNameTextSize> out;
    HostText(naming, useLocalName, address, out.Area());
    const std::string text = TextOf(out);
    const bool any = address == Ipv4Address{};
    const bool loopback = address == Ipv4Address{{127, 0, 0, 1}};
    if (any || loopback) {
        if (!useLocalName) {
            FUZZ_CHECK(text == (any ? "0.0.0.0" : "localhost"));
            return;
        }
        FUZZ_CHECK(names.local.has_value());  // asked for the machine's name
        if (names.local->has_value()) {
            FUZZ_CHECK(text == **names.local);
        } else {
            FUZZ_CHECK(!text.empty());
        }
        return;
    }
    const auto asked = names.hosts.find(Key(address));
    if (asked != names.hosts.end() && asked->second.has_value()) {
        FUZZ_CHECK(text == *asked->second);
    } else {
        FUZZ_CHECK(text == Dotted(address));
    }
}

void CheckEndpointText(FuzzInput &input) {
    const std::unique_ptr<char[]> host = InputText(input);
    const std::unique_ptr<char[]> port = InputText(input);
    CallerArea<kEndpointTextSize> out;
    EndpointText(host.get(), port.get(), out.Area());
    const std::string text = TextOf(out);
    // The whole "host:port", cut to what the area holds.
    std::string whole = host != nullptr ? host.get() : "";
    whole += ':';
    whole += port != nullptr ? port.get() : "";
    FUZZ_CHECK(text == whole.substr(0, kEndpointTextSize - 1));
}

void CheckStateLabel(FuzzInput &input) {
    const int32_t code = input.Int32();
    const char *label = StateLabel(code);
    FUZZ_CHECK(label != nullptr);
    FUZZ_CHECK(std::strlen(label) < kStateLabelSize);
    if (code < 0 || code > 12) {
        FUZZ_CHECK(std::strcmp(label, "???") == 0);
    }
}

}  // namespace

}  // namespace connwalk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace connwalk;
    using namespace connwalk::fuzz;
    FuzzInput input{data, size};
    FuzzNames names;
    names.input = &input;
    const NameService byPort{&names, ServiceName, HostName, LocalName, Now};
    const NameService listing{&names, ServiceName, HostName, LocalName, Now, EachService};
    auto naming = std::make_unique<Naming>(byPort);
    // Bounded by the input: every operation takes at least its own byte.
    while (!input.Empty()) {
        const uint8_t operation = input.Byte();
        switch (operation % 5) {
            case 0:
                CheckPortText(*naming, names, input);
                break;
            case 1:
                CheckHostText(*naming, names, input);
                break;
            case 2:
                CheckEndpointText(input);
                break;
            case 3:
                CheckStateLabel(input);
                break;
            default:
                // A fresh call: nothing remembered from the last one; its
                // service may list the database.
                naming = std::make_unique<Naming>((input.Byte() & 1) != 0 ? listing : byPort);
                names.services.clear();
                names.hosts.clear();
                names.local.reset();
                names.listings = 0;
                names.listedWhole = false;
                names.listed.clear();
                break;
        }
    }
    return 0;
}
