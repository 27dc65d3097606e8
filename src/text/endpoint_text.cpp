#include <cstring>

#include "text/texts.h"

namespace connwalk {

namespace {

// The length of `text`, reading no further than `limit` bytes.
size_t BoundedLength(const char *text, size_t limit) {
    size_t length = 0;
    if (text != nullptr) {
        while (length < limit && text[length] != '\0') {
            ++length;
        }
    }
    return length;
}

}  // namespace

void EndpointText(const char *host, const char *port, char (&out)[kEndpointTextSize]) {
    // Two name texts and the colon always fit; the bounds only matter for a
    // caller that passes something longer, which is then cut.
    const size_t room = kEndpointTextSize - 1;
    size_t length = BoundedLength(host, room);
    if (length > 0) {
        std::memcpy(out, host, length);
    }
    if (length < room) {
        out[length++] = ':';
    }
    const size_t portLength = BoundedLength(port, room - length);
    if (portLength > 0) {
        std::memcpy(out + length, port, portLength);
        length += portLength;
    }
    out[length] = '\0';
}

}  // namespace connwalk
