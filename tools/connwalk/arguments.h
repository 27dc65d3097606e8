// The command line, read into what to do. Reading it does nothing else, so
// every usage error is found before the connection tables are touched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace connwalk_cli {

enum class Action { ShowHelp, ShowVersion, List, Lookup };
enum class Tables { All, Tcp, Udp };
enum class LookupSide { Local, Remote };
enum class Format { Table, Raw, Json };

struct Invocation {
    Action action = Action::List;
    Tables tables = Tables::All;      // for List
    LookupSide side = LookupSide::Local;  // for Lookup
    int32_t port = 0;                 // for Lookup
    bool second = false;              // for Lookup
    Format format = Format::Table;
};

struct ParsedArguments {
    std::optional<Invocation> invocation;
    std::string error;  // set when `invocation` is empty: one line, no prefix
};

// `arguments` without the program name. --help and --version take effect
// where they stand, so an error before them still counts.
ParsedArguments ParseArguments(const std::vector<std::string_view> &arguments);

// A port as the command takes it: decimal digits only, 0 to 65535.
std::optional<int32_t> ParsePort(std::string_view text);

}  // namespace connwalk_cli
