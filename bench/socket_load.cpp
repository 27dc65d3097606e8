// Holds a given number of real TCP and UDP sockets open on loopback, so
// that connection listings can be timed against a table of known size.
//
//   socket_load --tcp N --udp M [--per-process K]
//
// TCP sockets are listeners on 127.0.0.1 and both ends of connections to
// them; UDP sockets are bound to 127.0.0.1. A process may hold fewer
// descriptors than a large table needs, so the sockets are spread over
// child processes of at most K sockets each. When every child holds its
// share the program prints one line
//
//   ready tcp=<count> udp=<count> last-local-port=<port>
//
// (the highest local port among its TCP sockets, which sorts near the end
// of the connection table) and keeps the sockets until its standard input
// closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Connections per listener: well inside the accept backlog and the
// ephemeral port range that each listener's connections draw from.
constexpr size_t kConnectionsPerListener = 4000;

[[noreturn]] void Fail(const char *what) {
    std::fprintf(stderr, "socket_load: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

uint16_t LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        Fail("getsockname");
    }
    return ntohs(address.sin_port);
}

int Socket(int type) {
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0) {
        Fail("socket");
    }
    if (type == SOCK_STREAM) {
        // Closed by a reset, so that no TIME_WAIT rows outlive the load and
        // swell the next table measured.
        const linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    return fd;
}

void Bind(int fd) {
    const sockaddr_in address = Loopback(0);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        Fail("bind");
    }
}

struct Share {
    size_t tcp = 0;
    size_t udp = 0;
};

struct Held {
    std::vector<int> fds;
    uint16_t lastLocalPort = 0;
};

void Keep(Held &held, int fd) {
    held.fds.push_back(fd);
    held.lastLocalPort = std::max(held.lastLocalPort, LocalPort(fd));
}

// One listener and up to kConnectionsPerListener connections to it, until
// `tcp` sockets are open.
void OpenTcp(Held &held, size_t tcp) {
    while (tcp > 0) {
        const int listener = Socket(SOCK_STREAM);
        Bind(listener);
        if (listen(listener, SOMAXCONN) != 0) {
            Fail("listen");
        }
        Keep(held, listener);
        --tcp;
        const sockaddr_in target = Loopback(LocalPort(listener));
        const size_t connections = std::min(tcp / 2, kConnectionsPerListener);
        // Connect and accept in batches smaller than the accept backlog.
        for (size_t done = 0; done < connections;) {
            const size_t batch = std::min<size_t>(connections - done, 512);
            for (size_t i = 0; i < batch; ++i) {
                const int client = Socket(SOCK_STREAM);
                if (connect(client, reinterpret_cast<const sockaddr *>(&target), sizeof target) !=
                    0) {
                    Fail("connect");
                }
                Keep(held, client);
            }
            for (size_t i = 0; i < batch; ++i) {
                const int server = accept(listener, nullptr, nullptr);
                if (server < 0) {
                    Fail("accept");
                }
                Keep(held, server);
            }
            done += batch;
        }
        tcp -= 2 * connections;
    }
}

void OpenUdp(Held &held, size_t udp) {
    for (size_t i = 0; i < udp; ++i) {
        const int fd = Socket(SOCK_DGRAM);
        Bind(fd);
        held.fds.push_back(fd);
    }
}

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Runs in a child: opens its share, reports its last port on `report`, and
// holds the sockets until the parent closes `hold`.
[[noreturn]] void Child(Share share, int report, int hold) {
    RaiseDescriptorLimit();
    Held held;
    held.fds.reserve(share.tcp + share.udp);
    OpenTcp(held, share.tcp);
    OpenUdp(held, share.udp);
    const unsigned port = held.lastLocalPort;
    if (write(report, &port, sizeof port) != sizeof port) {
        Fail("report");
    }
    char byte;
    while (read(hold, &byte, 1) > 0) {
    }
    _exit(0);
}

size_t Number(const char *text) {
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0') {
        std::fprintf(stderr, "socket_load: not a number: %s\n", text);
        std::exit(2);
    }
    return static_cast<size_t>(value);
}

}  // namespace

int main(int argc, char **argv) {
    size_t tcp = 0;
    size_t udp = 0;
    size_t perProcess = 16000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--tcp") {
            tcp = Number(argv[i + 1]);
        } else if (option == "--udp") {
            udp = Number(argv[i + 1]);
        } else if (option == "--per-process") {
            perProcess = std::max<size_t>(Number(argv[i + 1]), 3);
        } else {
            std::fprintf(stderr, "usage: socket_load --tcp N --udp M [--per-process K]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    int hold[2];
    if (pipe(hold) != 0) {
        Fail("pipe");
    }
    std::vector<pid_t> children;
    std::vector<int> reports;
    for (size_t leftTcp = tcp, leftUdp = udp; leftTcp > 0 || leftUdp > 0;) {
        Share share;
        share.tcp = std::min(leftTcp, perProcess);
        share.udp = std::min(leftUdp, perProcess - share.tcp);
        leftTcp -= share.tcp;
        leftUdp -= share.udp;
        int report[2];
        if (pipe(report) != 0) {
            Fail("pipe");
        }
        const pid_t child = fork();
        if (child < 0) {
            Fail("fork");
        }
        if (child == 0) {
            close(report[0]);
            close(hold[1]);
            Child(share, report[1], hold[0]);
        }
        close(report[1]);
        children.push_back(child);
        reports.push_back(report[0]);
    }
    close(hold[0]);
    unsigned lastPort = 0;
    bool allReady = true;
    for (int report : reports) {
        unsigned port = 0;
        if (read(report, &port, sizeof port) != sizeof port) {
            allReady = false;
        }
        lastPort = std::max(lastPort, port);
        close(report);
    }
    if (allReady) {
        std::printf("ready tcp=%zu udp=%zu last-local-port=%u\n", tcp, udp, lastPort);
        std::fflush(stdout);
        char byte;
        while (read(STDIN_FILENO, &byte, 1) > 0) {
        }
    } else {
        std::fprintf(stderr, "socket_load: a holder failed\n");
    }
    close(hold[1]);
    int status = 0;
    for (pid_t child : children) {
        waitpid(child, &status, 0);
    }
    return allReady ? 0 : 1;
}
