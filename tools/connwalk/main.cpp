// connwalk, the command: what --help prints is its documentation.
static const char kHelp[] = R"(Usage: connwalk [--raw | --json] [all | tcp | udp]
       connwalk [--raw | --json] local PORT [--second]
       connwalk [--raw | --json] remote PORT [--second]
       connwalk --help | --version

Shows the machine's IPv4 TCP connections and UDP listeners.

Commands:
  all          TCP connections, then UDP listeners (the default)
  tcp          TCP connections only
  udp          UDP listeners only
  local PORT   the first TCP connection whose local port is PORT: its
               remote endpoint and its state, separated by a tab
  remote PORT  the same for the first connection whose remote port is PORT
               (listeners have remote port 0)
PORT is a decimal number from 0 to 65535.

Options:
  --second     report the second matching connection instead of the first
  --raw        print the texts exactly as the library returned them: each
               listing followed by a newline (all prints the TCP listing,
               then the UDP listing); for a lookup the remote endpoint and
               the state, each followed by a newline. A listing is a run of
               records, each ending in a backslash; the fields of a TCP
               record are separated by carriage returns.
  --json       print a JSON array with one object per connection,
               {"protocol":"tcp","local":..,"remote":..,"state":..}, where a
               UDP listener has "protocol":"udp" and null as remote and
               state; for a lookup one {"remote":..,"state":..} object
  -h, --help   show this help and exit
  --version    show the version and exit

The table has the columns Proto, Local, Remote and State; a UDP listener
shows "-" as its remote side and state. An endpoint reads HOST:PORT: a local
address 0.0.0.0 or 127.0.0.1 shows as the machine's name, a listener's
remote side as 0.0.0.0:0, a remote 127.0.0.1 as localhost, and a port as its
service name where it has one. Connections come in table order: by local
address, local port, remote address, remote port. In the table, control
characters and broken UTF-8 in names show as '?'; --raw keeps every byte.

Exit status:
  0  success, an empty table included
  1  no connection matched the lookup
  2  usage error
  3  the connection tables could not be opened (the agent did not start)
  4  a query of a connection table failed
  5  the output could not be written
)";

#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "arguments.h"
#include "json.h"
#include "queries.h"
#include "records.h"
#include "table.h"

#ifndef CONNWALK_VERSION
#error "CONNWALK_VERSION must be defined by the build"
#endif

namespace {

using namespace connwalk_cli;

enum ExitStatus : int {
    kSuccess = 0,
    kNoMatch = 1,
    kUsageError = 2,
    kAgentDidNotStart = 3,
    kQueryFailed = 4,
    kWriteFailed = 5,
};

int Complain(int status, const std::string &message) {
    std::fprintf(stderr, "connwalk: %s\n", message.c_str());
    return status;
}

int FailureStatus(Outcome outcome) {
    switch (outcome) {
        case Outcome::AgentDidNotStart:
            return Complain(kAgentDidNotStart,
                            "the connection tables could not be opened (the agent did not start)");
        case Outcome::QueryFailed:
            return Complain(kQueryFailed, "a query of the connection table failed");
        case Outcome::NoMatch:
            return Complain(kNoMatch, "no TCP connection matched");
        case Outcome::Found:
            break;
    }
    return kSuccess;
}

int Print(std::string_view text) {
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if (!written || std::fflush(stdout) != 0) {
        return Complain(kWriteFailed, "the output could not be written");
    }
    return kSuccess;
}

int List(const Invocation &invocation) {
    std::vector<ListingAnswer> answers;
    if (invocation.tables != Tables::Udp) answers.push_back(TcpListing());
    if (invocation.tables != Tables::Tcp) answers.push_back(UdpListing());
    for (const ListingAnswer &answer : answers) {
        if (answer.outcome != Outcome::Found) return FailureStatus(answer.outcome);
    }

    if (invocation.format == Format::Raw) {
        std::string raw;
        for (const ListingAnswer &answer : answers) raw += answer.listing + '\n';
        return Print(raw);
    }

    std::vector<Connection> connections;
    for (size_t i = 0; i < answers.size(); ++i) {
        const bool udp = invocation.tables == Tables::Udp || i == 1;
        std::vector<Connection> table =
            udp ? UdpListeners(answers[i].listing) : TcpConnections(answers[i].listing);
        if (connections.empty()) {
            connections = std::move(table);
        } else {
            connections.insert(connections.end(), std::make_move_iterator(table.begin()),
                               std::make_move_iterator(table.end()));
        }
    }
    return Print(invocation.format == Format::Json ? FormatJson(connections)
                                                   : FormatTable(connections));
}

int Lookup(const Invocation &invocation) {
    const PortInfoAnswer answer = invocation.side == LookupSide::Local
                                      ? LocalPortInfo(invocation.port, invocation.second)
                                      : RemotePortInfo(invocation.port, invocation.second);
    if (answer.outcome == Outcome::NoMatch) {
        return Complain(kNoMatch, std::string("no TCP connection") +
                                      (invocation.second ? " besides the first" : "") +
                                      (invocation.side == LookupSide::Local ? " has local port "
                                                                             : " has remote port ") +
                                      std::to_string(invocation.port));
    }
    if (answer.outcome != Outcome::Found) return FailureStatus(answer.outcome);

    switch (invocation.format) {
        case Format::Raw:
            return Print(answer.remote + '\n' + answer.state + '\n');
        case Format::Json:
            return Print(FormatPortInfoJson(answer.remote, answer.state));
        case Format::Table:
            break;
    }
    return Print(PrintableText(answer.remote) + '\t' + PrintableText(answer.state) + '\n');
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const ParsedArguments parsed = ParseArguments(arguments);
    if (!parsed.invocation) {
        return Complain(kUsageError, parsed.error + " (try 'connwalk --help')");
    }

    const Invocation &invocation = *parsed.invocation;
    switch (invocation.action) {
        case Action::ShowHelp:
            return Print(kHelp);
        case Action::ShowVersion:
            return Print("connwalk " CONNWALK_VERSION "\n");
        case Action::List:
            return List(invocation);
        case Action::Lookup:
            return Lookup(invocation);
    }
    return kSuccess;
}
