#include "mib/agent.h"

namespace connwalk {

bool QueryNext(const Agent &agent, BindingList *list) {
    int32_t errorStatus = 0;
    int32_t errorIndex = 0;
    // The error status is not examined: an agent may report one with an
    // answer that still moves the walk on, and the walk decides by the name.
    return agent.query(agent.state, kRequestGetNext, list, &errorStatus, &errorIndex);
}

void CloseAgent(Agent *agent) {
    if (agent->close != nullptr) {
        agent->close(agent->state);
    }
    *agent = Agent{};
}

bool StartAgent(const AgentStarter &starter, Agent *agent) {
    *agent = Agent{};
    if (starter.start == nullptr || !starter.start(starter.state, agent)) {
        *agent = Agent{};
        return false;
    }
    return agent->query != nullptr;
}

}  // namespace connwalk
