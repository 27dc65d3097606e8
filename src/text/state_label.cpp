#include "text/texts.h"

#include <iterator>

namespace connwalk {

namespace {

// "SEN_RECEIVED" and the digitless "FIN_WAIT" are the labels callers already
// parse; they are kept as they are.
constexpr const char *kLabels[] = {
    "???",         "CLOSED",   "LISTENING", "SYN_SENT",   "SEN_RECEIVED", "ESTABLISHED",
    "FIN_WAIT",    "FIN_WAIT2", "CLOSE_WAIT", "CLOSING",  "LAST_ACK",     "TIME_WAIT",
};

// RFC 1213's deleteTCB: an agent may report it for a connection it is tearing
// down, so it reads as what it is rather than as an unknown code.
constexpr int32_t kDeleteTcb = 12;

}  // namespace

const char *StateLabel(int32_t code) {
    if (code >= 0 && code < static_cast<int32_t>(std::size(kLabels))) {
        return kLabels[code];
    }
    return code == kDeleteTcb ? "DELETE_TCB" : kLabels[0];
}

}  // namespace connwalk
