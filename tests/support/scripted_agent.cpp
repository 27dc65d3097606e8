#include "support/scripted_agent.h"

#include <algorithm>
#include <utility>

namespace connwalk::testing {

ScriptedObject Integer(Oid name, int32_t number) {
    return ScriptedObject{std::move(name), kAsnInteger, number, {}};
}

ScriptedObject IpAddress(Oid name, Ipv4Address address) {
    return ScriptedObject{std::move(name), kAsnIpAddress, 0,
                          {address.bytes[0], address.bytes[1], address.bytes[2], address.bytes[3]}};
}

ScriptedObject Octets(Oid name, std::vector<uint8_t> bytes, uint8_t type) {
    return ScriptedObject{std::move(name), type, 0, std::move(bytes)};
}

Ipv4Address Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return Ipv4Address{{a, b, c, d}}; }

namespace {

void Point(Binding &binding, const ScriptedObject &object) {
    binding.name.count = static_cast<uint32_t>(object.name.size());
    binding.name.ids = object.name.data();
    binding.value.type = object.type;
    binding.value.number = object.number;
    binding.value.length = static_cast<uint32_t>(object.bytes.size());
    binding.value.bytes = object.bytes.empty() ? nullptr : object.bytes.data();
}

bool Query(void *state, uint8_t requestType, BindingList *list, int32_t *errorStatus,
           int32_t *errorIndex) {
    auto &agent = *static_cast<ScriptedAgent *>(state);
    const long number = agent.queries++;
    *errorStatus = kErrorStatusNoError;
    *errorIndex = 0;
    if (requestType != kRequestGetNext || list == nullptr || list->count != 1) {
        return false;
    }
    Binding &binding = list->bindings[0];
    Oid sent(binding.name.ids, binding.name.ids + binding.name.count);
    agent.sent.push_back(sent);
    if (number == agent.failAtQuery) {
        return false;
    }
    if (!agent.script.empty()) {
        if (static_cast<size_t>(number) >= agent.script.size()) {
            return false;
        }
        agent.answer = agent.script[static_cast<size_t>(number)];
    } else {
        auto next = std::upper_bound(
            agent.view.begin(), agent.view.end(), sent,
            [](const Oid &name, const ScriptedObject &object) { return name < object.name; });
        if (next == agent.view.end()) {
            *errorStatus = kErrorStatusNoSuchName;
            *errorIndex = 1;
            agent.answer = ScriptedObject{sent, kAsnNull, 0, {}};
        } else {
            agent.answer = *next;
        }
    }
    Point(binding, agent.answer);
    return true;
}

void Close(void *state) { ++static_cast<ScriptedAgent *>(state)->closes; }

bool Start(void *state, Agent *agent) {
    auto &scripted = *static_cast<ScriptedAgent *>(state);
    ++scripted.starts;
    if (scripted.startFails) {
        return false;
    }
    std::stable_sort(scripted.view.begin(), scripted.view.end(),
                     [](const ScriptedObject &a, const ScriptedObject &b) { return a.name < b.name; });
    agent->state = state;
    agent->query = Query;
    agent->close = Close;
    return true;
}

void AppendIndex(Oid &name, const Ipv4Address &address, int32_t port) {
    for (uint8_t byte : address.bytes) {
        name.push_back(byte);
    }
    name.push_back(static_cast<uint32_t>(port));
}

}  // namespace

AgentStarter ScriptedAgent::Starter() { return AgentStarter{this, Start}; }

Oid TcpCell(uint32_t column, const TcpEntry &row) {
    Oid name{1, 3, 6, 1, 2, 1, 6, 13, 1, column};
    AppendIndex(name, row.localAddress, row.localPort);
    AppendIndex(name, row.remoteAddress, row.remotePort);
    return name;
}

Oid UdpCell(uint32_t column, const UdpEntry &row) {
    Oid name{1, 3, 6, 1, 2, 1, 7, 5, 1, column};
    AppendIndex(name, row.localAddress, row.localPort);
    return name;
}

std::vector<ScriptedObject> TcpTableView(const std::vector<TcpEntry> &rows) {
    std::vector<ScriptedObject> view;
    for (uint32_t column = 1; column <= 5; ++column) {
        for (const TcpEntry &row : rows) {
            Oid name = TcpCell(column, row);
            switch (column) {
                case 1: view.push_back(Integer(name, row.state)); break;
                case 2: view.push_back(IpAddress(name, row.localAddress)); break;
                case 3: view.push_back(Integer(name, row.localPort)); break;
                case 4: view.push_back(IpAddress(name, row.remoteAddress)); break;
                default: view.push_back(Integer(name, row.remotePort)); break;
            }
        }
    }
    view.push_back(Octets({1, 3, 6, 1, 2, 1, 6, 14, 0}, {}, kAsnCounter32));
    return view;
}

std::vector<ScriptedObject> UdpTableView(const std::vector<UdpEntry> &rows) {
    std::vector<ScriptedObject> view;
    for (const UdpEntry &row : rows) {
        view.push_back(IpAddress(UdpCell(1, row), row.localAddress));
    }
    for (const UdpEntry &row : rows) {
        view.push_back(Integer(UdpCell(2, row), row.localPort));
    }
    view.push_back(Octets({1, 3, 6, 1, 2, 1, 7, 8, 0}, {}, kAsnCounter64));
    return view;
}

}  // namespace connwalk::testing
