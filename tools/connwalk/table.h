// Connections as an aligned table for a terminal.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "records.h"

namespace connwalk_cli {

// The table: a header line "Proto Local Remote State", then one line per
// connection, every line ending in a newline. Columns are separated by two
// spaces and padded to their widest cell; the last column is not padded.
// A UDP listener shows "-" as its remote side and state.
std::string FormatTable(const std::vector<Connection> &connections);

// `bytes` made safe to print on one line: control characters and ill-formed
// UTF-8 become '?'. Names reach the command byte for byte as the system's
// look-ups return them, and a terminal must not take them for commands.
std::string PrintableText(std::string_view bytes);

// Columns `text` takes on a terminal: one per character.
size_t TextWidth(std::string_view text);

}  // namespace connwalk_cli
