#include "mib/walk.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <deque>
#include <span>

namespace connwalk {

namespace {

enum class ColumnKind { Integer, Address };

struct TableShape {
    std::span<const uint32_t> entry;       // the entry's name, before the column number
    std::span<const ColumnKind> columns;   // column 1 first
};

constexpr ColumnKind kTcpColumns[] = {ColumnKind::Integer, ColumnKind::Address, ColumnKind::Integer,
                                      ColumnKind::Address, ColumnKind::Integer};
constexpr ColumnKind kUdpColumns[] = {ColumnKind::Address, ColumnKind::Integer};

constexpr size_t kMaxColumns = 5;

// An agent that keeps inventing names inside the table would never let a
// walk end; no real table comes near this many cells.
constexpr unsigned long kMaxRequests = 1UL << 24;

// A cell's value in the four bytes that either kind needs: an INTEGER's
// number or an IpAddress's bytes. Rows are kept small because a large table
// has many of them.
struct Cell {
    uint8_t bytes[4] = {};

    int32_t Number() const {
        int32_t number;
        std::memcpy(&number, bytes, sizeof number);
        return number;
    }
    Ipv4Address Address() const {
        Ipv4Address address;
        std::memcpy(address.bytes, bytes, sizeof address.bytes);
        return address;
    }
};

// Indexes up to this long are kept in their row: every index of a table as
// it should be is (10 sub-identifiers in tcpConnTable, 5 in udpTable).
constexpr uint32_t kRowIndexLength = 10;

struct Row {
    std::array<uint32_t, kRowIndexLength> index{};  // the name's sub-identifiers after the column number
    uint32_t indexLength = 0;
    uint32_t filled = 0;   // bit c-1 set once column c gave a usable value
    size_t longIndex = 0;  // where a longer index begins in Rows::longIndexes
    std::array<Cell, kMaxColumns> cells{};
};

// The rows of one walk. They are added in blocks that never move, so that
// a table of any size is read without copying the rows already made.
struct Rows {
    std::deque<Row> rows;
    std::vector<uint32_t> longIndexes;

    void Add(Row &row, std::span<const uint32_t> index) {
        row.indexLength = static_cast<uint32_t>(index.size());
        if (index.size() <= kRowIndexLength) {
            std::copy(index.begin(), index.end(), row.index.begin());
        } else {
            row.longIndex = longIndexes.size();
            longIndexes.insert(longIndexes.end(), index.begin(), index.end());
        }
    }

    std::span<const uint32_t> IndexOf(const Row &row) const {
        if (row.indexLength <= kRowIndexLength) {
            return {row.index.data(), row.indexLength};
        }
        return {longIndexes.data() + row.longIndex, row.indexLength};
    }
};

bool StartsWith(const ObjectName &name, std::span<const uint32_t> prefix) {
    return name.count >= prefix.size() && std::equal(prefix.begin(), prefix.end(), name.ids);
}

// SNMP order: sub-identifier by sub-identifier as unsigned numbers, and a
// name before every longer name that it begins.
bool Follows(const ObjectName &name, const std::vector<uint32_t> &previous) {
    return std::lexicographical_compare(previous.begin(), previous.end(), name.ids,
                                        name.ids + name.count);
}

// The cell's value, or false when it is not of the column's type. Nothing
// is read past the value's own length.
bool ReadCell(ColumnKind kind, const Value &value, Cell &cell) {
    if (kind == ColumnKind::Integer) {
        if (value.type != kAsnInteger) {
            return false;
        }
        std::memcpy(cell.bytes, &value.number, sizeof value.number);
        return true;
    }
    if (value.type != kAsnIpAddress || value.length < 4 || value.bytes == nullptr) {
        return false;
    }
    std::copy_n(value.bytes, 4, cell.bytes);
    return true;
}

// Walks one table into rows. Later columns are matched to the rows of
// column 1 by their index, with one cursor that only moves forward: for a
// table that stays put this is the same as matching by position, and for
// one that changed between the column passes no row takes another row's
// cells.
WalkEnd WalkRows(const Agent &agent, const TableShape &table, Rows &walked) {
    std::deque<Row> &rows = walked.rows;
    rows.clear();
    walked.longIndexes.clear();
    std::vector<uint32_t> sent(table.entry.begin(), table.entry.end());
    sent.push_back(1);

    Binding binding;
    BindingList list{&binding, 1};
    size_t cursor = 0;
    uint32_t lastColumn = 1;
    const size_t columnAt = table.entry.size();

    for (unsigned long requests = 0; requests < kMaxRequests; ++requests) {
        binding.name = ObjectName{static_cast<uint32_t>(sent.size()), sent.data()};
        binding.value = Value{};
        if (!QueryNext(agent, &list)) {
            return WalkEnd::QueryFailed;
        }
        const ObjectName &name = binding.name;
        // Past the table an agent answers with a shorter name, such as the
        // scalar after it; an answer that leaves the table or does not move
        // on ends the walk too, so that a confused agent cannot loop it.
        if (name.count < columnAt + 1 || name.ids == nullptr || !StartsWith(name, table.entry) ||
            !Follows(name, sent)) {
            return WalkEnd::Complete;
        }
        sent.assign(name.ids, name.ids + name.count);
        const Value value = binding.value;

        const uint32_t column = sent[columnAt];
        const std::span<const uint32_t> index(sent.begin() + static_cast<std::ptrdiff_t>(columnAt) + 1,
                                              sent.end());
        if (column != lastColumn) {
            cursor = 0;
            lastColumn = column;
        }
        if (column == 0 || column > table.columns.size()) {
            continue;
        }
        Cell cell;
        const bool usable = ReadCell(table.columns[column - 1], value, cell);
        if (column == 1) {
            Row &row = rows.emplace_back();
            walked.Add(row, index);
            row.cells[0] = cell;
            row.filled = usable ? 1U : 0U;
            continue;
        }
        auto before = [&](const Row &row) {
            const std::span<const uint32_t> rowIndex = walked.IndexOf(row);
            return std::lexicographical_compare(rowIndex.begin(), rowIndex.end(), index.begin(),
                                                index.end());
        };
        while (cursor < rows.size() && before(rows[cursor])) {
            ++cursor;
        }
        if (cursor < rows.size() && std::ranges::equal(walked.IndexOf(rows[cursor]), index)) {
            if (usable) {
                rows[cursor].cells[column - 1] = cell;
                rows[cursor].filled |= 1U << (column - 1);
            }
            ++cursor;
        }
    }
    return WalkEnd::QueryFailed;
}

bool Complete(const Row &row, size_t columns) { return row.filled == (1U << columns) - 1; }

}  // namespace

WalkEnd WalkTcpTable(const Agent &agent, std::vector<TcpEntry> &entries) {
    entries.clear();
    Rows rows;
    const WalkEnd end = WalkRows(agent, TableShape{kTcpConnEntry, kTcpColumns}, rows);
    if (end != WalkEnd::Complete) {
        return end;
    }
    entries.reserve(rows.rows.size());
    for (const Row &row : rows.rows) {
        if (Complete(row, std::size(kTcpColumns))) {
            entries.push_back(TcpEntry{row.cells[0].Number(), row.cells[1].Address(),
                                       row.cells[2].Number(), row.cells[3].Address(),
                                       row.cells[4].Number()});
        }
    }
    return end;
}

WalkEnd WalkUdpTable(const Agent &agent, std::vector<UdpEntry> &entries) {
    entries.clear();
    Rows rows;
    const WalkEnd end = WalkRows(agent, TableShape{kUdpEntry, kUdpColumns}, rows);
    if (end != WalkEnd::Complete) {
        return end;
    }
    entries.reserve(rows.rows.size());
    for (const Row &row : rows.rows) {
        if (Complete(row, std::size(kUdpColumns))) {
            entries.push_back(UdpEntry{row.cells[0].Address(), row.cells[1].Number()});
        }
    }
    return end;
}

}  // namespace connwalk
