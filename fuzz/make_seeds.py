#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses into fuzz/corpus/<harness>/.

The seeds of fuzz_sock_diag and fuzz_proc_net are taken from this machine's
kernel, with a few sockets of every kind opened on loopback while they are
taken; the others are written out in each harness's input format (see the
comment at the top of each harness). Run it again after changing a format.
Inputs of past findings (regression-*) are left alone.
"""
import os
import socket
import struct
import sys

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(harness, name, data):
    folder = os.path.join(CORPUS, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as file:
        file.write(bytes(data))


class Input:
    """Builds an input read as two streams: `front` in order, and `back`
    items in the order the harness reads them from the end."""

    def __init__(self):
        self.front = bytearray()
        self.back = []  # each item's bytes as they stand in the file

    def byte(self, value):
        self.front.append(value & 0xFF)

    def bytes(self, value, count):
        self.front += (value & ((1 << (8 * count)) - 1)).to_bytes(count, "little")

    def int32(self, value):
        self.bytes(value, 4)

    def text(self, data):
        self.front += data

    def back_byte(self, value):
        self.back.append(bytes([value & 0xFF]))

    def back_bytes(self, value, count):
        # Read lowest byte first, from the end: in the file it comes last.
        self.back.append((value & ((1 << (8 * count)) - 1)).to_bytes(count, "big"))

    def back_int32(self, value):
        self.back_bytes(value, 4)

    def back_text(self, data):
        self.back.append(bytes(data))

    def data(self):
        return bytes(self.front) + b"".join(reversed(self.back))


def back_name(stream, name, found=True):
    """One look-up answer, as the name services of the harnesses read it."""
    name = name.encode() if isinstance(name, str) else name
    long = len(name) > 255
    stream.back_byte((1 if found else 0) | (2 if long else 0))
    if long:
        stream.back_bytes(len(name), 2)
    else:
        stream.back_byte(len(name))
    stream.back_text(name)


# fuzz_walk ------------------------------------------------------------------

TCP_ENTRY = [1, 3, 6, 1, 2, 1, 6, 13, 1]


def ip(text):
    return [int(part) for part in text.split(".")]


def tcp_index(row):
    return ip(row[1]) + [row[2]] + ip(row[3]) + [row[4]]


def udp_index(row):
    return ip(row[0]) + [row[1]]


def cell(stream, column, index):
    stream.byte(0x02)
    stream.byte(column)
    stream.byte(0x10 | len(index))  # 4-byte sub-identifiers
    for value in index:
        stream.int32(value)


def integer(stream, number):
    stream.byte(0x00)
    stream.int32(number)


def address(stream, text):
    stream.byte(0x40)
    stream.text(bytes(ip(text)))


def end_of_table(stream):
    stream.byte(0x91)  # the 9 sub-identifiers of the scalar after the table
    integer(stream, 0)


TCP_ROWS = [  # state, local address, local port, remote address, remote port
    (2, "0.0.0.0", 21, "0.0.0.0", 0),
    (5, "127.0.0.1", 1500, "127.0.0.1", 21),
    (5, "192.0.2.10", 40000, "192.0.2.7", 25),
]


def tcp_table(stream, rows, fail_at=None):
    cells = 0
    for column in range(1, 6):
        for row in rows:
            if cells == fail_at:
                stream.byte(0x00)  # the query fails
                return
            cell(stream, column, tcp_index(row))
            if column in (2, 4):
                address(stream, row[column - 1])
            else:
                integer(stream, row[column - 1])
            cells += 1
    end_of_table(stream)


def tcp_listing_names(stream):
    back_name(stream, "ftp")                 # port 21
    back_name(stream, "HOST")                # the machine's name
    back_name(stream, "", found=False)       # port 1500
    back_name(stream, "", found=False)       # port 40000
    stream.back_byte(32 + 3)                 # 48 ms in the reverse look-up
    back_name(stream, "client.example")      # 192.0.2.10
    back_name(stream, "smtp")                # port 25
    stream.back_byte(32)
    back_name(stream, "", found=False)       # 192.0.2.7


def walk_seeds():
    tcp = Input()
    tcp.back_byte(0)  # TcpListing
    tcp_table(tcp, TCP_ROWS)
    tcp_listing_names(tcp)
    write("fuzz_walk", "tcp-listing-three-rows", tcp.data())

    udp = Input()
    udp.back_byte(1)  # UdpListing
    rows = [("0.0.0.0", 53), ("127.0.0.1", 123), ("192.0.2.1", 5353)]
    for row in rows:
        cell(udp, 1, udp_index(row))
        address(udp, row[0])
    udp.byte(0x25)  # column 2 for every row so far
    for row in rows:
        integer(udp, row[1])
    end_of_table(udp)
    back_name(udp, "domain")
    back_name(udp, "HOST")
    back_name(udp, "ntp")
    back_name(udp, "mdns")
    udp.back_byte(40)
    back_name(udp, "printer.example")
    write("fuzz_walk", "udp-listing-column-replay", udp.data())

    for name, setup, port, skip in (("local-port-21", 2, 21, 0), ("local-port-21-second", 2, 21, 1),
                                    ("remote-port-25", 3, 25, 0)):
        lookup = Input()
        lookup.back_byte(setup)
        lookup.back_int32(port)
        lookup.back_byte(skip)
        tcp_table(lookup, TCP_ROWS)
        back_name(lookup, "smtp")
        lookup.back_byte(32)
        back_name(lookup, "mail.example")
        write("fuzz_walk", name, lookup.data())

    failed = Input()
    failed.back_byte(0)
    tcp_table(failed, TCP_ROWS, fail_at=7)
    write("fuzz_walk", "query-fails-mid-walk", failed.data())

    empty = Input()
    empty.back_byte(1)
    end_of_table(empty)
    write("fuzz_walk", "empty-table", empty.data())

    # Names longer than their areas, with line feeds and separators, on a
    # table grown by a run of successors.
    long = Input()
    long.back_byte(0)
    cell(long, 1, tcp_index((5, "198.51.100.1", 80, "203.0.113.9", 51000)))
    integer(long, 5)
    long.byte(0x04)  # a successor of that cell and 40 more, with one value
    long.byte(40)
    integer(long, 5)
    long.byte(0x25)  # column 2 for every row
    for _ in range(42):
        address(long, "198.51.100.1")
    long.byte(0x35)
    for _ in range(42):
        integer(long, 80)
    long.byte(0x45)
    for _ in range(42):
        address(long, "203.0.113.9")
    long.byte(0x55)
    for value in range(42):
        integer(long, 51000 + value)
    end_of_table(long)
    back_name(long, b"h" * 300)
    long.back_byte(33)
    back_name(long, b"web\n\\\rserver" * 30)
    for value in range(42):
        back_name(long, b"p%d" % value * 40 if value % 2 else b"", found=value % 2 == 1)
        long.back_byte(33)
        back_name(long, b"peer.example", found=value == 0)
    write("fuzz_walk", "long-names-many-rows", long.data())

    # A listing that outgrows its 100,000 bytes: 200 records of some 540
    # bytes each. Past the names given, every look-up finds nothing.
    big = Input()
    big.back_byte(0)
    rows = 200
    cell(big, 1, tcp_index((5, "198.51.100.1", 80, "203.0.113.9", 20000)))
    integer(big, 5)
    big.byte(0x04)
    big.byte(rows - 2)
    integer(big, 5)
    for column, value in ((2, "198.51.100.1"), (3, 80), (4, "203.0.113.9"), (5, None)):
        big.byte(0x05 | column << 4)
        for row in range(rows):
            if column in (2, 4):
                address(big, value)
            else:
                integer(big, value if value is not None else 20000 + row)
    end_of_table(big)
    back_name(big, "http")
    big.back_byte(32)
    back_name(big, b"l" * 255)
    back_name(big, "", found=False)
    big.back_byte(32)
    back_name(big, b"r" * 255)
    write("fuzz_walk", "listing-outgrows-buffer", big.data())

    # The same for UDP: 400 records of some 260 bytes.
    big = Input()
    big.back_byte(1)
    rows = 400
    cell(big, 1, udp_index(("198.51.100.1", 20000)))
    address(big, "198.51.100.1")
    for run in (255, rows - 258):  # each run answers one more than its count
        big.byte(0x04)
        big.byte(run)
        address(big, "198.51.100.1")
    big.byte(0x25)
    for row in range(rows):
        integer(big, 20000 + row)
    end_of_table(big)
    back_name(big, "", found=False)
    big.back_byte(32)
    back_name(big, b"u" * 255)
    write("fuzz_walk", "udp-listing-outgrows-buffer", big.data())

    null = Input()
    null.back_byte(0x38 | 2)  # a null output
    null.back_int32(21)
    null.back_byte(0)
    tcp_table(null, TCP_ROWS)
    write("fuzz_walk", "null-output", null.data())


# fuzz_texts -----------------------------------------------------------------

def texts_seeds():
    ports = Input()
    for port, protocol, name in ((21, 0, "ftp"), (53, 1, "domain"), (1500, 0, None), (-7, 2, None),
                                 (65536 + 80, 0, "http")):
        ports.byte(0)
        ports.int32(port)
        ports.byte(protocol)
        back_name(ports, name or "", found=name is not None)
    ports.byte(0)  # port 21 again: remembered, not asked
    ports.int32(21)
    ports.byte(0)
    write("fuzz_texts", "port-texts", ports.data())

    hosts = Input()
    for local, kind, extra, answer in ((1, 0, b"", "HOST"), (0, 0, b"", None), (1, 1, b"", None), (0, 1, b"", None),
                                       (0, 2, bytes([192, 0, 2, 7]), "mail.example"),
                                       (1, 2, bytes([10, 1, 2, 3]), None),
                                       (0, 2, bytes([127, 0, 0, 2]), "loopback2")):
        hosts.byte(1)
        hosts.byte(local)
        hosts.byte(kind)
        hosts.text(extra)
        if kind == 0 and local == 1:
            hosts.back_byte(0)  # the machine's name is there
            back_name(hosts, answer)
        if kind == 2:
            hosts.back_byte(32 + 10)
            back_name(hosts, answer or "", found=answer is not None)
    write("fuzz_texts", "host-texts", hosts.data())

    budget = Input()
    for last in range(1, 6):
        budget.byte(1)
        budget.byte(0)
        budget.byte(2)
        budget.text(bytes([192, 0, 2, last]))
        budget.back_byte(32 + 30)  # 750 ms each: the budget runs out
        back_name(budget, "slow%d.example" % last)
    budget.byte(4)  # a fresh call
    budget.byte(1)
    budget.byte(0)
    budget.byte(2)
    budget.text(bytes([192, 0, 2, 1]))
    budget.back_byte(0)
    back_name(budget, "fast.example")
    write("fuzz_texts", "reverse-budget", budget.data())

    endpoints = Input()
    for host, port in ((b"HOST", b"ftp"), (b"h" * 300, b"p" * 300), (b"", b"0"), (b"a\x00b", b"c")):
        endpoints.byte(2)
        endpoints.bytes(len(host), 2)
        endpoints.text(host)
        endpoints.bytes(len(port), 2)
        endpoints.text(port)
    endpoints.byte(2)
    endpoints.bytes(0x8000, 2)  # no host
    endpoints.bytes(3, 2)
    endpoints.text(b"ssh")
    write("fuzz_texts", "endpoint-texts", endpoints.data())

    labels = Input()
    for code in (0, 4, 9, 10, 11, 12, 13, -1, 2**31 - 1):
        labels.byte(3)
        labels.int32(code)
    write("fuzz_texts", "state-labels", labels.data())

    long = Input()
    long.byte(0)
    long.int32(8080)
    long.byte(0)
    back_name(long, b"s" * 600)
    long.byte(1)
    long.byte(1)
    long.byte(0)
    long.back_byte(0)
    long.back_byte(0x0D)  # the whole area filled, no NUL
    long.back_byte(255)
    long.back_text(b"n" * 255)
    write("fuzz_texts", "long-names", long.data())


# fuzz_mib_view --------------------------------------------------------------

def view_address(stream, text):
    parts = ip(text)
    if parts == [0, 0, 0, 0]:
        stream.back_byte(0)
    elif parts[:3] == [127, 0, 0] and parts[3] < 64:
        stream.back_byte(1 | parts[3] << 2)
    else:
        # {first, kind, 0, last}: the kind byte is the second byte.
        assert parts[2] == 0 and parts[1] & 3 >= 2, text
        stream.back_byte(parts[1])
        stream.back_byte(parts[0])
        stream.back_byte(parts[3])


def view_port(stream, port):
    if port >= 1 and (port - 1) % 7 == 0 and (port - 1) // 7 < 128:
        stream.back_byte((port - 1) // 7)
    else:
        stream.back_byte(0x80)
        stream.back_int32(port)


def view_seeds():
    tcp_rows = [(2, "0.0.0.0", 22, "0.0.0.0", 1), (5, "127.0.0.1", 8, "127.0.0.1", 22),
                (11, "127.0.0.1", 8, "127.0.0.1", 22), (5, "192.2.0.7", 4000, "198.10.0.9", 443)]
    udp_rows = [("0.0.0.0", 50), ("127.0.0.1", 123), ("0.0.0.0", 50)]
    for name, flags, queries in (("walk-both-tables", 0, "walk"), ("tcp-table-unreadable", 0x07, "walk"),
                                 ("scattered-names", 0x40, "scattered")):
        view = Input()
        view.back_byte(flags)
        view.back_byte(len(tcp_rows))
        for state, local, local_port, remote, remote_port in tcp_rows:
            view.back_byte(state)
            view_address(view, local)
            view_port(view, local_port)
            view_address(view, remote)
            view_port(view, remote_port)
        view.back_byte(len(udp_rows))
        for local, port in udp_rows:
            view_address(view, local)
            view_port(view, port)
        view.back_int32(12345)
        if queries == "walk":
            view.byte(0x03)  # the tcp table's entry, column 1
            view.byte(1)
            view.byte(0)
            for _ in range(60):
                view.byte(0xC0)  # on from the last answer
        else:
            view.byte(0x00)  # the empty name
            view.byte(0)
            view.byte(0x01)  # a prefix of an object's name
            view.byte(5)
            view.byte(7)
            view.byte(0x0B)  # the udp table, column 2, a short index
            view.byte(2)
            view.byte(2)
            view.byte(0)
            view.byte(0)
            view.byte(0x87)  # a name without its sub-identifiers
            view.byte(0x08)  # a long name of 4-byte sub-identifiers
            view.byte(24)
            view.text(b"\xff" * 96)
        write("fuzz_mib_view", name, view.data())


# Kernel captures ------------------------------------------------------------

NETLINK_SOCK_DIAG = 4
SOCK_DIAG_BY_FAMILY = 20
NLM_F_REQUEST = 1
NLM_F_DUMP = 0x300
NLMSG_DONE = 3


def open_sockets():
    """A few sockets of every kind on loopback, kept open while the kernel
    is read."""
    kept = []
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    client = socket.create_connection(listener.getsockname())
    server, _ = listener.accept()
    kept += [listener, client, server]
    dual = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    dual.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    dual.bind(("::", 0))
    dual.listen()
    mapped = socket.create_connection(("127.0.0.1", dual.getsockname()[1]))
    accepted, _ = dual.accept()
    only6 = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    only6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    only6.bind(("::1", 0))
    only6.listen()
    kept += [dual, mapped, accepted, only6]
    for family, host, v6only in ((socket.AF_INET, "127.0.0.1", None), (socket.AF_INET, "0.0.0.0", None),
                                 (socket.AF_INET6, "::", 0), (socket.AF_INET6, "::1", 1)):
        udp = socket.socket(family, socket.SOCK_DGRAM)
        if v6only is not None:
            udp.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, v6only)
        udp.bind((host, 0))
        kept.append(udp)
    return kept


def dump(family, protocol):
    """The datagrams of one sock_diag dump, as the kernel sends them."""
    sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, NETLINK_SOCK_DIAG)
    body = struct.pack("=BBBBI", family, protocol, 0, 0, 0xFFFFFFFF) + bytes(48) + struct.pack("=II", 0, 0)
    header = struct.pack("=IHHII", 16 + len(body), SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, 1, 0)
    sock.sendto(header + body, (0, 0))
    datagrams = []
    while True:
        data = sock.recv(65536)
        datagrams.append(data)
        if struct.unpack_from("=IH", data, 0)[1] == NLMSG_DONE or any(
                struct.unpack_from("=IH", data, offset)[1] == NLMSG_DONE for offset in messages(data)):
            break
    sock.close()
    return datagrams


def messages(data):
    offset = 0
    while offset + 16 <= len(data):
        yield offset
        length = struct.unpack_from("=I", data, offset)[0]
        if length < 16:
            return
        offset += (length + 3) & ~3


def trimmed(datagrams, keep):
    """The first `keep` socket messages and the dump's end, in one datagram."""
    chosen = []
    done = b""
    for data in datagrams:
        for offset in messages(data):
            length, kind = struct.unpack_from("=IH", data, offset)
            message = data[offset:offset + ((length + 3) & ~3)]
            if kind == NLMSG_DONE:
                done = message
            elif len(chosen) < keep:
                chosen.append(message)
    return b"".join(chosen) + done


def kernel_seeds():
    kept = open_sockets()
    try:
        for name, family, protocol in (("tcp4", socket.AF_INET, socket.IPPROTO_TCP),
                                       ("tcp6", socket.AF_INET6, socket.IPPROTO_TCP),
                                       ("udp4", socket.AF_INET, socket.IPPROTO_UDP),
                                       ("udp6", socket.AF_INET6, socket.IPPROTO_UDP)):
            write("fuzz_sock_diag", "dump-" + name, trimmed(dump(family, protocol), 6))
        for name in ("tcp", "tcp6", "udp", "udp6"):
            with open("/proc/net/" + name, "rb") as file:
                lines = file.read().split(b"\n")
            write("fuzz_proc_net", "proc-net-" + name, b"\n".join(lines[:9]) + b"\n")
    finally:
        for sock in kept:
            sock.close()


def main():
    walk_seeds()
    texts_seeds()
    view_seeds()
    if "--no-kernel" not in sys.argv:
        kernel_seeds()


if __name__ == "__main__":
    main()
