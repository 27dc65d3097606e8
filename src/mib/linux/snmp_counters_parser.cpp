#include "mib/linux/snmp_counters_parser.h"

#include <cstdint>
#include <iterator>

namespace connwalk::kernel {

namespace {

struct Field {
    std::string_view name;
    uint32_t object;  // the object's number in its MIB-II group
};

constexpr Field kTcpFields[] = {
    {"RtoAlgorithm", 1}, {"RtoMin", 2},       {"RtoMax", 3},       {"MaxConn", 4},     {"ActiveOpens", 5},
    {"PassiveOpens", 6}, {"AttemptFails", 7}, {"EstabResets", 8},  {"CurrEstab", 9},   {"InSegs", 10},
    {"OutSegs", 11},     {"RetransSegs", 12}, {"InErrs", 14},      {"OutRsts", 15},
};

constexpr Field kUdpFields[] = {
    {"InDatagrams", 1},
    {"NoPorts", 2},
    {"InErrors", 3},
    {"OutDatagrams", 4},
};

std::string_view NextWord(std::string_view &line) {
    size_t start = 0;
    while (start < line.size() && (line[start] == ' ' || line[start] == '\t' || line[start] == '\r')) {
        ++start;
    }
    size_t end = start;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r') {
        ++end;
    }
    const std::string_view word = line.substr(start, end - start);
    line.remove_prefix(end);
    return word;
}

// A decimal number with an optional minus sign, wrapping as the kernel's
// unsigned counters do.
bool ParseNumber(std::string_view word, uint64_t *value) {
    const bool negative = !word.empty() && word[0] == '-';
    if (negative) {
        word.remove_prefix(1);
    }
    if (word.empty()) {
        return false;
    }
    uint64_t result = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = negative ? 0 - result : result;
    return true;
}

template <size_t N, size_t M>
void TakeFields(std::string_view names, std::string_view numbers, const Field (&fields)[N], uint64_t (&out)[M]) {
    for (;;) {
        const std::string_view name = NextWord(names);
        const std::string_view number = NextWord(numbers);
        if (name.empty() || number.empty()) {
            return;
        }
        uint64_t value = 0;
        if (!ParseNumber(number, &value)) {
            continue;
        }
        for (const Field &field : fields) {
            if (field.name == name && field.object < M) {
                out[field.object] = value;
            }
        }
    }
}

}  // namespace

void ParseSnmpCounters(std::string_view text, MibCounters *counters) {
    std::string_view previous;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        // A names line and the numbers line after it start with the same word.
        std::string_view names = previous;
        previous = line;
        const std::string_view protocol = NextWord(names);
        std::string_view numbers = line;
        if (protocol.empty() || NextWord(numbers) != protocol) {
            continue;
        }
        if (protocol == "Tcp:") {
            TakeFields(names, numbers, kTcpFields, counters->tcp);
        } else if (protocol == "Udp:") {
            TakeFields(names, numbers, kUdpFields, counters->udp);
        }
        previous = {};
    }
}

}  // namespace connwalk::kernel
