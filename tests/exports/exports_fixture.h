// A scripted table and name service behind the exported calls.
#pragma once

#include <string>
#include <vector>

#include "exports/services.h"
#include "support/fake_names.h"
#include "support/scripted_agent.h"

namespace connwalk::testing {

// The machine of the examples: its name is HOST, and the service database
// names ftp, smtp and domain.
inline const TcpEntry kListener21{2, Ip(0, 0, 0, 0), 21, Ip(0, 0, 0, 0), 0};
inline const TcpEntry kLocalClient{5, Ip(127, 0, 0, 1), 1500, Ip(127, 0, 0, 1), 21};
inline const TcpEntry kLocalServer{5, Ip(127, 0, 0, 1), 21, Ip(127, 0, 0, 1), 1500};
inline const TcpEntry kMailClient{5, Ip(10, 0, 0, 1), 1025, Ip(192, 0, 2, 7), 25};

struct Machine {
    ScriptedAgent agent;
    FakeNames names = ExampleNames();
    connwalk::Services Make() { return connwalk::Services{agent.Starter(), names.Service()}; }
};

inline std::string Filled(size_t size, char fill = '#') { return std::string(size, fill); }

}  // namespace connwalk::testing
