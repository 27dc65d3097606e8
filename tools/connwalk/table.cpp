#include "table.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "utf8.h"

namespace connwalk_cli {

namespace {

constexpr size_t kColumns = 4;
using Line = std::array<std::string, kColumns>;

constexpr std::string_view kGap = "  ";

Line CellsOf(const Connection &connection) {
    if (connection.protocol == Protocol::Udp) {
        return {"udp", PrintableText(connection.local), "-", "-"};
    }
    return {"tcp", PrintableText(connection.local), PrintableText(connection.remote),
            PrintableText(connection.state)};
}

}  // namespace

std::string PrintableText(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        const Utf8Step step = NextUtf8(bytes);
        const auto lead = static_cast<uint8_t>(bytes[0]);
        const bool control = step.length == 1 && (lead < 0x20 || lead == 0x7F);
        if (!step.valid || control) {
            text.push_back('?');
        } else {
            text.append(bytes.substr(0, step.length));
        }
        bytes.remove_prefix(step.length);
    }
    return text;
}

size_t TextWidth(std::string_view text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<uint8_t>(c) & 0xC0) != 0x80;
    }));
}

std::string FormatTable(const std::vector<Connection> &connections) {
    // The cells are made twice, for the widths and for the text, rather than
    // kept: a full listing has thousands of lines, and short texts cost
    // nothing to make again.
    const Line heading = {"Proto", "Local", "Remote", "State"};
    std::array<size_t, kColumns> widths{};
    size_t lastColumnBytes = 0;
    auto measure = [&](const Line &line) {
        for (size_t column = 0; column < kColumns; ++column) {
            widths[column] = std::max(widths[column], TextWidth(line[column]));
        }
        lastColumnBytes += line[kColumns - 1].size();
    };
    measure(heading);
    for (const Connection &connection : connections) measure(CellsOf(connection));

    size_t lineWidth = kGap.size() * (kColumns - 1) + 1;
    for (size_t column = 0; column + 1 < kColumns; ++column) lineWidth += widths[column];
    std::string table;
    table.reserve(lineWidth * (connections.size() + 1) + lastColumnBytes);
    auto write = [&](const Line &line) {
        for (size_t column = 0; column < kColumns; ++column) {
            table += line[column];
            if (column + 1 == kColumns) break;
            table.append(widths[column] - TextWidth(line[column]), ' ');
            table += kGap;
        }
        table += '\n';
    };
    write(heading);
    for (const Connection &connection : connections) write(CellsOf(connection));
    return table;
}

}  // namespace connwalk_cli
