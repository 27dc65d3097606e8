#include "mib/linux/kernel_agent.h"

#include <new>

#include "mib/linux/kernel_rows.h"
#include "mib/linux/mib_view.h"

namespace connwalk {

namespace kernel {

namespace {

bool Query(void *state, uint8_t requestType, BindingList *list, int32_t *errorStatus, int32_t *errorIndex) {
    if (state == nullptr || list == nullptr || errorStatus == nullptr || errorIndex == nullptr ||
        requestType != kRequestGetNext || list->count != 1 || list->bindings == nullptr) {
        return false;
    }
    int32_t status = kErrorStatusNoError;
    try {
        if (!AnswerGetNext(static_cast<MibView *>(state), &list->bindings[0], &status)) {
            return false;
        }
    } catch (...) {
        return false;
    }
    *errorStatus = status;
    // The error index counts bindings from 1.
    *errorIndex = status == kErrorStatusNoError ? 0 : 1;
    return true;
}

void Close(void *state) { delete static_cast<MibView *>(state); }

bool Start(const RowSource &source, Agent *agent) {
    auto *view = new (std::nothrow) MibView;
    if (view == nullptr) {
        return false;
    }
    view->source = source;
    agent->state = view;
    agent->query = Query;
    agent->close = Close;
    return true;
}

bool StartOverSource(void *state, Agent *agent) {
    return state != nullptr && Start(*static_cast<const RowSource *>(state), agent);
}

bool StartOverKernel(void *, Agent *agent) { return Start(KernelRows(), agent); }

}  // namespace

AgentStarter RowSourceAgent(RowSource *source) {
    AgentStarter starter;
    starter.state = source;
    starter.start = StartOverSource;
    return starter;
}

}  // namespace kernel

AgentStarter PlatformAgent() {
    AgentStarter starter;
    starter.start = kernel::StartOverKernel;
    return starter;
}

}  // namespace connwalk
