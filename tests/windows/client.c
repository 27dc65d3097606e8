/* A caller of connwalk.dll as a C program writes it: linked against the
 * import library through connwalk.h alone. Built, not run: what it imports
 * shows how callers reach the four functions. */
#include "connwalk.h"

static char listing[CONNWALK_LISTING_SIZE];
static char endpoint[CONNWALK_ENDPOINT_SIZE];
static char state[CONNWALK_STATE_SIZE];

int main(void) {
    int32_t total = GetTCPEndpoints(listing);
    total += GetUDPEndpoints(listing);
    total += GetTCPLocalPortInfo(21, endpoint, state, 0);
    total += GetTCPRemotePortInfo(25, endpoint, state, 1);
    return total == 0;
}
