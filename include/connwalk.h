/*
 * connwalk: the machine's IPv4 TCP connections and UDP listeners, as text.
 *
 * Every function walks the MIB-II tables of the platform's agent afresh,
 * renders what it found with host names, service names and state labels, and
 * writes the result into buffers that the caller owns. Nothing is kept from
 * one call to the next, and no memory of the library's is ever handed out.
 *
 * Texts are 8-bit and NUL-terminated; names are copied byte for byte as the
 * system's look-ups return them. A listing is a run of records, each ending
 * in a backslash (byte 92); the fields of a TCP record are separated by
 * carriage returns (byte 13):
 *
 *   TCP record:  LOCAL-ENDPOINT \r REMOTE-ENDPOINT \r STATE \
 *   UDP record:  HOST:PORT \
 *
 * An endpoint is "host:port". A local address of 0.0.0.0 or 127.0.0.1 shows
 * as the machine's own name, a remote 0.0.0.0 as "0.0.0.0:0", a remote
 * 127.0.0.1 as "localhost", any other address as its reverse look-up or else
 * as a dotted quad; a port shows as its service name or else as a number.
 *
 * The functions do not receive the sizes of the caller's buffers: the sizes
 * below are what the caller must provide, and the library never writes more.
 *
 * Each call blocks its own thread until it is done. The library keeps no
 * state of its own between or across calls, so on Linux, where the agent is
 * the library's own, calls from several threads are safe. On Windows the
 * agent is the system's inetmib1.dll, which is not known to tolerate
 * concurrent use: serialise calls there. Reverse look-ups are bounded: once
 * a call has spent about two seconds in them, the remaining addresses are
 * shown as dotted quads.
 *
 * Cost: a call reads the kernel's socket table once and walks it in time
 * that grows as n log n with its n rows. On Linux a call that names ports
 * reads the system's service database once, through the C library's
 * enumeration (setservent, getservent_r, endservent), and names every port
 * from that reading; the C library keeps one enumeration position for the
 * whole process, so the library's own calls take turns at it, and a program
 * that enumerates the service database itself on another thread at the same
 * moment may leave some ports of a listing shown as numbers. A listing stops
 * asking for names once its 100,000 bytes are full, so a large table costs
 * a listing no more look-ups than a table that just fills it.
 */
#ifndef CONNWALK_H
#define CONNWALK_H

#include <stdint.h>

#if defined(_WIN32)
#define CONNWALK_CALL __stdcall
#else
#define CONNWALK_CALL
#endif

#if defined(CONNWALK_BUILDING_LIBRARY) && !defined(_WIN32)
#define CONNWALK_EXPORT __attribute__((visibility("default")))
#else
#define CONNWALK_EXPORT
#endif

/* Size of the buffer for a listing, the terminating NUL included. */
#define CONNWALK_LISTING_SIZE 100000
/* Size of the buffer for an endpoint text, the terminating NUL included. */
#define CONNWALK_ENDPOINT_SIZE 512
/* Size of the buffer for a state label, the terminating NUL included. */
#define CONNWALK_STATE_SIZE 32

#ifdef __cplusplus
extern "C" {
#endif

/*
 * GetTCPEndpoints - list every TCP connection of the machine.
 * @listingBuffer: receives the listing, at most CONNWALK_LISTING_SIZE bytes
 *                 with its NUL.
 *
 * One record per connection, in the agent's row order (by local address,
 * local port, remote address, remote port). State labels: "CLOSED",
 * "LISTENING", "SYN_SENT", "SEN_RECEIVED", "ESTABLISHED", "FIN_WAIT",
 * "FIN_WAIT2", "CLOSE_WAIT", "CLOSING", "LAST_ACK", "TIME_WAIT", and
 * "DELETE_TCB" or "???" for codes outside the table. A listing that would
 * outgrow the buffer stops after the last whole record that fits, so the
 * last byte before the NUL is always a backslash.
 *
 * Returns the length of the listing without its NUL (at least 3), or:
 *   0 - the agent could not be started; the buffer is untouched. Also the
 *       result of an empty table, which leaves an empty string instead.
 *       A null @listingBuffer returns 0 and writes nothing.
 *   1 - an agent query failed (or memory ran out) during the walk; the
 *       buffer is untouched.
 */
CONNWALK_EXPORT int32_t CONNWALK_CALL GetTCPEndpoints(char *listingBuffer);

/*
 * GetUDPEndpoints - list every UDP listener of the machine.
 * @listingBuffer: as for GetTCPEndpoints.
 *
 * One record "HOST:PORT\" per listener, ports named under "udp".
 * Results as for GetTCPEndpoints.
 */
CONNWALK_EXPORT int32_t CONNWALK_CALL GetUDPEndpoints(char *listingBuffer);

/*
 * GetTCPLocalPortInfo - find a TCP connection by its local port.
 * @port:         the local port, in host order (21 for ftp); compared as a
 *                whole 32-bit value, so a negative or huge port never matches.
 * @endpointText: receives the remote endpoint of the connection found, at
 *                most CONNWALK_ENDPOINT_SIZE bytes with its NUL.
 * @stateText:    receives its state label, at most CONNWALK_STATE_SIZE bytes
 *                with its NUL.
 * @skipFirst:    zero reports the first match in row order; any other value
 *                passes over the first match and reports the second.
 *
 * Note that the remote endpoint is reported, whichever side matched; a
 * listener reports "0.0.0.0:0".
 *
 * Returns:
 *   1 - a match was found and both outputs were written; or an agent query
 *       failed, in which case both outputs are untouched.
 *   0 - no (second) match, or the agent could not be started; both outputs
 *       are untouched. A null output pointer returns 0 and writes nothing.
 */
CONNWALK_EXPORT int32_t CONNWALK_CALL GetTCPLocalPortInfo(int32_t port, char *endpointText,
                                                          char *stateText, int32_t skipFirst);

/*
 * GetTCPRemotePortInfo - find a TCP connection by its remote port.
 *
 * As GetTCPLocalPortInfo, matching each connection's remote port instead.
 * Listeners take part too: their remote port is 0.
 */
CONNWALK_EXPORT int32_t CONNWALK_CALL GetTCPRemotePortInfo(int32_t port, char *endpointText,
                                                           char *stateText, int32_t skipFirst);

#ifdef __cplusplus
}
#endif

#endif /* CONNWALK_H */
