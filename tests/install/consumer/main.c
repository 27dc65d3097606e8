/*
 * Lists the UDP listeners through an installed connwalk, from C, and checks
 * that the answer keeps the promises of connwalk.h. Exits 0 when it does.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <connwalk.h>

int main(void) {
    static const char marker[] = "\001untouched";
    char *listing = malloc(CONNWALK_LISTING_SIZE);
    int32_t result;
    int ok;

    if (listing == NULL) return 2;
    memcpy(listing, marker, sizeof marker);
    result = GetUDPEndpoints(listing);
    if (result == 0) {
        ok = listing[0] == '\0';
    } else {
        ok = result >= 3 && strlen(listing) == (size_t)result && listing[result - 1] == '\\';
    }
    printf("GetUDPEndpoints: %ld\n", (long)result);
    free(listing);
    return ok ? 0 : 1;
}
