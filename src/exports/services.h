// What an exported function needs from the platform: an agent to walk and
// name look-ups. The exports pass the platform's own; tests pass their own.
#pragma once

#include "mib/agent.h"
#include "text/name_service.h"

namespace connwalk {

struct Services {
    AgentStarter agent;
    NameService names;
};

Services PlatformServices();

}  // namespace connwalk
