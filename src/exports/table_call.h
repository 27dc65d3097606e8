// The frame of every exported call: start the agent, walk one table, and
// hand the rows to the call's own work, with the agent still open; on
// Windows it holds the Windows Sockets session that the name look-ups run
// in. Nothing thrown inside gets out.
#pragma once

#include <cstdint>
#include <vector>

#include "exports/services.h"
#include "mib/walk.h"

namespace connwalk {

// 0 when the agent did not start, 1 when the walk failed or anything threw
// (memory ran out), otherwise what `use` returns for the rows.
template <typename Entry, typename Use>
int32_t WithTable(const Services &services, WalkEnd (*walk)(const Agent &, std::vector<Entry> &),
                  Use use) noexcept {
    try {
        AgentGuard agent;
        if (!StartAgent(services.agent, &agent.agent)) {
            return 0;
        }
        std::vector<Entry> entries;
        if (walk(agent.agent, entries) != WalkEnd::Complete) {
            return 1;
        }
        return use(entries);
    } catch (...) {
        return 1;
    }
}

}  // namespace connwalk
