#include "arguments.h"

namespace connwalk_cli {

namespace {

constexpr int32_t kHighestPort = 65535;

ParsedArguments Failure(std::string message) { return {std::nullopt, std::move(message)}; }

ParsedArguments Success(const Invocation &invocation) { return {invocation, {}}; }

}  // namespace

std::optional<int32_t> ParsePort(std::string_view text) {
    if (text.empty()) return std::nullopt;
    int32_t port = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + (c - '0');
        if (port > kHighestPort) return std::nullopt;
    }
    return port;
}

ParsedArguments ParseArguments(const std::vector<std::string_view> &arguments) {
    Invocation invocation;
    bool rawSeen = false;
    bool jsonSeen = false;
    bool secondSeen = false;
    std::vector<std::string_view> words;

    for (const std::string_view argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            invocation.action = Action::ShowHelp;
            return Success(invocation);
        }
        if (argument == "--version") {
            invocation.action = Action::ShowVersion;
            return Success(invocation);
        }
        if (argument == "--raw") {
            rawSeen = true;
        } else if (argument == "--json") {
            jsonSeen = true;
        } else if (argument == "--second") {
            secondSeen = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            return Failure("unknown option '" + std::string(argument) + "'");
        } else {
            words.push_back(argument);
        }
    }

    if (rawSeen && jsonSeen) return Failure("--raw and --json exclude each other");
    invocation.format = rawSeen ? Format::Raw : jsonSeen ? Format::Json : Format::Table;

    const std::string_view command = words.empty() ? std::string_view("all") : words[0];
    if (command == "all" || command == "tcp" || command == "udp") {
        invocation.action = Action::List;
        invocation.tables = command == "all" ? Tables::All
                            : command == "tcp" ? Tables::Tcp
                                               : Tables::Udp;
        if (words.size() > 1) return Failure("unexpected argument '" + std::string(words[1]) + "'");
        if (secondSeen) return Failure("--second goes only with local or remote");
        return Success(invocation);
    }
    if (command == "local" || command == "remote") {
        invocation.action = Action::Lookup;
        invocation.side = command == "local" ? LookupSide::Local : LookupSide::Remote;
        if (words.size() < 2) return Failure("'" + std::string(command) + "' needs a PORT");
        const std::optional<int32_t> port = ParsePort(words[1]);
        if (!port) {
            return Failure("bad port '" + std::string(words[1]) +
                           "' (a decimal number from 0 to 65535)");
        }
        if (words.size() > 2) return Failure("unexpected argument '" + std::string(words[2]) + "'");
        invocation.port = *port;
        invocation.second = secondSeen;
        return Success(invocation);
    }
    return Failure("unknown command '" + std::string(command) + "'");
}

}  // namespace connwalk_cli
