#include "mib/linux/mib_view.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <tuple>

namespace connwalk::kernel {

namespace {

constexpr uint32_t kBaseLength = 9;  // a scalar's name, or a table's entry
constexpr uint32_t kTcpIndexLength = 10;
constexpr uint32_t kUdpIndexLength = 5;
constexpr int32_t kTimeWait = 11;

enum class Kind : uint8_t { Scalar, TcpTable, UdpTable };

// One object of the view, or one table. A scalar's name is
// 1.3.6.1.2.1.<group>.<number>.0, a table's entry 1.3.6.1.2.1.<group>.<number>.1.
struct ViewObject {
    Kind kind;
    uint32_t group;
    uint32_t number;
    uint8_t type;  // of a scalar
};

constexpr uint32_t kTcpGroup = 6;
constexpr uint32_t kUdpGroup = 7;

constexpr ViewObject kView[] = {
    {Kind::Scalar, kTcpGroup, 1, kAsnInteger},     // tcpRtoAlgorithm
    {Kind::Scalar, kTcpGroup, 2, kAsnInteger},     // tcpRtoMin
    {Kind::Scalar, kTcpGroup, 3, kAsnInteger},     // tcpRtoMax
    {Kind::Scalar, kTcpGroup, 4, kAsnInteger},     // tcpMaxConn
    {Kind::Scalar, kTcpGroup, 5, kAsnCounter32},   // tcpActiveOpens
    {Kind::Scalar, kTcpGroup, 6, kAsnCounter32},   // tcpPassiveOpens
    {Kind::Scalar, kTcpGroup, 7, kAsnCounter32},   // tcpAttemptFails
    {Kind::Scalar, kTcpGroup, 8, kAsnCounter32},   // tcpEstabResets
    {Kind::Scalar, kTcpGroup, 9, kAsnGauge32},     // tcpCurrEstab
    {Kind::Scalar, kTcpGroup, 10, kAsnCounter32},  // tcpInSegs
    {Kind::Scalar, kTcpGroup, 11, kAsnCounter32},  // tcpOutSegs
    {Kind::Scalar, kTcpGroup, 12, kAsnCounter32},  // tcpRetransSegs
    {Kind::TcpTable, kTcpGroup, 13, kAsnNull},     // tcpConnTable
    {Kind::Scalar, kTcpGroup, 14, kAsnCounter32},  // tcpInErrs
    {Kind::Scalar, kTcpGroup, 15, kAsnCounter32},  // tcpOutRsts
    {Kind::Scalar, kUdpGroup, 1, kAsnCounter32},   // udpInDatagrams
    {Kind::Scalar, kUdpGroup, 2, kAsnCounter32},   // udpNoPorts
    {Kind::Scalar, kUdpGroup, 3, kAsnCounter32},   // udpInErrors
    {Kind::Scalar, kUdpGroup, 4, kAsnCounter32},   // udpOutDatagrams
    {Kind::UdpTable, kUdpGroup, 5, kAsnNull},      // udpTable
    {Kind::Scalar, kUdpGroup, 8, kAsnCounter64},   // udpHCInDatagrams
    {Kind::Scalar, kUdpGroup, 9, kAsnCounter64},   // udpHCOutDatagrams
};

void BaseName(const ViewObject &object, uint32_t (&name)[kBaseLength]) {
    const uint32_t base[kBaseLength] = {1, 3, 6, 1, 2, 1, object.group, object.number,
                                        object.kind == Kind::Scalar ? 0u : 1u};
    std::copy(std::begin(base), std::end(base), name);
}

// Lexicographic order of sub-identifier sequences; a proper prefix comes first.
int Compare(const uint32_t *a, size_t aCount, const uint32_t *b, size_t bCount) {
    const size_t common = std::min(aCount, bCount);
    for (size_t i = 0; i < common; ++i) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return aCount == bCount ? 0 : (aCount < bCount ? -1 : 1);
}

void IndexOf(const TcpEntry &row, uint32_t (&index)[kTcpIndexLength]) {
    const uint8_t *local = row.localAddress.bytes;
    const uint8_t *remote = row.remoteAddress.bytes;
    const uint32_t values[kTcpIndexLength] = {local[0],  local[1],  local[2],  local[3],
                                              static_cast<uint32_t>(row.localPort),
                                              remote[0], remote[1], remote[2], remote[3],
                                              static_cast<uint32_t>(row.remotePort)};
    std::copy(std::begin(values), std::end(values), index);
}

void IndexOf(const UdpEntry &row, uint32_t (&index)[kUdpIndexLength]) {
    const uint32_t values[kUdpIndexLength] = {row.localAddress.bytes[0], row.localAddress.bytes[1],
                                              row.localAddress.bytes[2], row.localAddress.bytes[3],
                                              static_cast<uint32_t>(row.localPort)};
    std::copy(std::begin(values), std::end(values), index);
}

// A row's index as numbers that order as its sub-identifiers do: an
// address's four sub-identifiers are its bytes, which compare in turn as its
// value in network order does. Sorting by these is sorting by index, without
// spelling every index out.
uint32_t AddressKey(const Ipv4Address &address) {
    return uint32_t{address.bytes[0]} << 24 | uint32_t{address.bytes[1]} << 16 |
           uint32_t{address.bytes[2]} << 8 | uint32_t{address.bytes[3]};
}

std::tuple<uint32_t, uint32_t, uint32_t, uint32_t> SortKey(const TcpEntry &row) {
    return {AddressKey(row.localAddress), static_cast<uint32_t>(row.localPort),
            AddressKey(row.remoteAddress), static_cast<uint32_t>(row.remotePort)};
}

std::tuple<uint32_t, uint32_t> SortKey(const UdpEntry &row) {
    return {AddressKey(row.localAddress), static_cast<uint32_t>(row.localPort)};
}

// Where a name stands against the names under a table's entry.
enum class Place { Before, Inside, After };

Place PlaceOf(const ObjectName &name, const uint32_t (&entry)[kBaseLength]) {
    const size_t common = std::min<size_t>(name.count, kBaseLength);
    for (size_t i = 0; i < common; ++i) {
        if (name.ids[i] != entry[i]) {
            return name.ids[i] < entry[i] ? Place::Before : Place::After;
        }
    }
    // The entry's own name, or a prefix of it, comes before its cells.
    return name.count <= kBaseLength ? Place::Before : Place::Inside;
}

struct Cell {
    uint32_t column = 0;
    size_t row = 0;
};

// The first cell after `name` of a table of `rows` and `columns` columns,
// where `name` is Before or Inside the table.
template <typename Row, size_t IndexLength>
bool NextCell(const ObjectName &name, Place place, const std::vector<Row> &rows, uint32_t columns, Cell *cell) {
    if (rows.empty()) {
        return false;
    }
    // Column 0 holds no cells and comes before column 1.
    if (place == Place::Before || name.ids[kBaseLength] == 0) {
        *cell = {1, 0};
        return true;
    }
    const uint32_t column = name.ids[kBaseLength];
    if (column > columns) {
        return false;
    }
    const uint32_t *index = name.ids + kBaseLength + 1;
    const size_t indexLength = name.count - kBaseLength - 1;
    // Rows are in index order, so those at or before the index sent come first.
    const auto after = std::partition_point(rows.begin(), rows.end(), [&](const Row &row) {
        uint32_t rowIndex[IndexLength];
        IndexOf(row, rowIndex);
        return Compare(rowIndex, IndexLength, index, indexLength) <= 0;
    });
    if (after != rows.end()) {
        *cell = {column, static_cast<size_t>(after - rows.begin())};
        return true;
    }
    if (column < columns) {
        *cell = {column + 1, 0};
        return true;
    }
    return false;
}

// A table is read when an answer may lie in it: never for a name past it,
// or past its last column.
bool NeedsRows(const ObjectName &name, Place place, uint32_t columns) {
    return place == Place::Before || (place == Place::Inside && name.ids[kBaseLength] <= columns);
}

bool LoadTcp(MibView *view) {
    if (!view->tcpRead) {
        view->tcpRows.clear();
        if (view->source.readTcp == nullptr || !view->source.readTcp(view->source.state, &view->tcpRows)) {
            view->tcpRows.clear();
            return false;
        }
        SortTcpRows(&view->tcpRows);
        view->tcpRead = true;
    }
    return true;
}

bool LoadUdp(MibView *view) {
    if (!view->udpRead) {
        view->udpRows.clear();
        if (view->source.readUdp == nullptr || !view->source.readUdp(view->source.state, &view->udpRows)) {
            view->udpRows.clear();
            return false;
        }
        SortUdpRows(&view->udpRows);
        view->udpRead = true;
    }
    return true;
}

// Counters only give the scalars their values; the names are served
// whether or not they can be read.
void LoadCounters(MibView *view) {
    if (!view->countersRead) {
        view->countersRead = true;
        if (view->source.readCounters == nullptr || !view->source.readCounters(view->source.state, &view->counters)) {
            view->counters = MibCounters{};
        }
    }
}

Value NumberValue(uint8_t type, uint32_t number) {
    Value value;
    value.type = type;
    value.number = static_cast<int32_t>(number);
    return value;
}

Value AddressValue(MibView *view, const Ipv4Address &address) {
    std::memcpy(view->answerBytes, address.bytes, 4);
    Value value;
    value.type = kAsnIpAddress;
    value.length = 4;
    value.bytes = view->answerBytes;
    return value;
}

Value ScalarValue(MibView *view, const ViewObject &object) {
    LoadCounters(view);
    const uint64_t count = object.group == kTcpGroup ? view->counters.tcp[object.number]
                           : object.number <= 4      ? view->counters.udp[object.number]
                           // udpHCInDatagrams and udpHCOutDatagrams count what
                           // udpInDatagrams and udpOutDatagrams count, in 64 bits.
                           : view->counters.udp[object.number == 8 ? 1 : 4];
    if (object.type != kAsnCounter64) {
        return NumberValue(object.type, static_cast<uint32_t>(count));
    }
    for (int i = 0; i < 8; ++i) {
        view->answerBytes[i] = static_cast<uint8_t>(count >> (56 - 8 * i));
    }
    Value value;
    value.type = kAsnCounter64;
    value.length = 8;
    value.bytes = view->answerBytes;
    return value;
}

Value TcpValue(MibView *view, const TcpEntry &row, uint32_t column) {
    switch (column) {
        case 1:
            return NumberValue(kAsnInteger, static_cast<uint32_t>(row.state));
        case 2:
            return AddressValue(view, row.localAddress);
        case 3:
            return NumberValue(kAsnInteger, static_cast<uint32_t>(row.localPort));
        case 4:
            return AddressValue(view, row.remoteAddress);
        default:
            return NumberValue(kAsnInteger, static_cast<uint32_t>(row.remotePort));
    }
}

Value UdpValue(MibView *view, const UdpEntry &row, uint32_t column) {
    return column == 1 ? AddressValue(view, row.localAddress)
                       : NumberValue(kAsnInteger, static_cast<uint32_t>(row.localPort));
}

// Writes the name of a cell into the answer storage.
template <typename Row, size_t IndexLength>
ObjectName CellName(MibView *view, const ViewObject &table, const Row &row, uint32_t column) {
    uint32_t base[kBaseLength];
    BaseName(table, base);
    uint32_t index[IndexLength];
    IndexOf(row, index);
    std::copy(std::begin(base), std::end(base), view->answerName);
    view->answerName[kBaseLength] = column;
    std::copy(std::begin(index), std::end(index), view->answerName + kBaseLength + 1);
    return ObjectName{kBaseLength + 1 + IndexLength, view->answerName};
}

// Makes `cell` of the table the answer, and remembers it for the next request.
template <typename Row, size_t IndexLength>
void AnswerCell(MibView *view, const ViewObject &table, const std::vector<Row> &rows, Cell cell,
                Binding *binding, int32_t *errorStatus) {
    const Row &row = rows[cell.row];
    if constexpr (IndexLength == kTcpIndexLength) {
        binding->value = TcpValue(view, row, cell.column);
    } else {
        binding->value = UdpValue(view, row, cell.column);
    }
    binding->name = CellName<Row, IndexLength>(view, table, row, cell.column);
    *errorStatus = kErrorStatusNoError;
    view->lastIsCell = true;
    view->lastInTcp = table.kind == Kind::TcpTable;
    view->lastColumn = cell.column;
    view->lastRow = cell.row;
    view->lastNameLength = binding->name.count;
}

// The cell after the last answer, when `sent` is that answer's name and the
// table has one more cell; otherwise a search decides.
bool CellAfterLast(const MibView &view, const ObjectName &sent, size_t rows, uint32_t columns,
                   Cell *cell) {
    if (!view.lastIsCell || sent.count != view.lastNameLength ||
        !std::equal(sent.ids, sent.ids + sent.count, view.answerName)) {
        return false;
    }
    if (view.lastRow + 1 < rows) {
        *cell = {view.lastColumn, view.lastRow + 1};
        return true;
    }
    if (view.lastColumn < columns) {
        *cell = {view.lastColumn + 1, 0};
        return true;
    }
    return false;
}

// The two tables' places in the view, fixed when it is compiled.
constexpr const ViewObject &kTcpTable = kView[12];
constexpr const ViewObject &kUdpTable = kView[19];
static_assert(kTcpTable.kind == Kind::TcpTable && kUdpTable.kind == Kind::UdpTable);

}  // namespace

void SortTcpRows(std::vector<TcpEntry> *rows) {
    std::sort(rows->begin(), rows->end(), [](const TcpEntry &a, const TcpEntry &b) {
        const auto aKey = SortKey(a);
        const auto bKey = SortKey(b);
        if (aKey != bKey) {
            return aKey < bKey;
        }
        const bool aWaits = a.state == kTimeWait;
        const bool bWaits = b.state == kTimeWait;
        return aWaits != bWaits ? bWaits : a.state < b.state;
    });
    rows->erase(std::unique(rows->begin(), rows->end(),
                            [](const TcpEntry &a, const TcpEntry &b) {
                                return SortKey(a) == SortKey(b);
                            }),
                rows->end());
}

void SortUdpRows(std::vector<UdpEntry> *rows) {
    std::sort(rows->begin(), rows->end(), [](const UdpEntry &a, const UdpEntry &b) {
        return SortKey(a) < SortKey(b);
    });
    rows->erase(std::unique(rows->begin(), rows->end(),
                            [](const UdpEntry &a, const UdpEntry &b) {
                                return SortKey(a) == SortKey(b);
                            }),
                rows->end());
}

bool AnswerGetNext(MibView *view, Binding *binding, int32_t *errorStatus) {
    const ObjectName sent = binding->name;
    if (sent.ids == nullptr && sent.count != 0) {
        return false;
    }
    Cell next;
    if (view->lastInTcp && CellAfterLast(*view, sent, view->tcpRows.size(), 5, &next)) {
        AnswerCell<TcpEntry, kTcpIndexLength>(view, kTcpTable, view->tcpRows,
                                              next, binding, errorStatus);
        return true;
    }
    if (!view->lastInTcp && CellAfterLast(*view, sent, view->udpRows.size(), 2, &next)) {
        AnswerCell<UdpEntry, kUdpIndexLength>(view, kUdpTable, view->udpRows,
                                              next, binding, errorStatus);
        return true;
    }
    view->lastIsCell = false;
    for (const ViewObject &object : kView) {
        uint32_t base[kBaseLength];
        BaseName(object, base);
        if (object.kind == Kind::Scalar) {
            if (Compare(base, kBaseLength, sent.ids, sent.count) > 0) {
                binding->value = ScalarValue(view, object);
                std::copy(std::begin(base), std::end(base), view->answerName);
                binding->name = ObjectName{kBaseLength, view->answerName};
                *errorStatus = kErrorStatusNoError;
                return true;
            }
            continue;
        }
        const Place place = PlaceOf(sent, base);
        const uint32_t columns = object.kind == Kind::TcpTable ? 5 : 2;
        if (!NeedsRows(sent, place, columns)) {
            continue;
        }
        Cell cell;
        if (object.kind == Kind::TcpTable) {
            if (!LoadTcp(view)) {
                return false;
            }
            if (NextCell<TcpEntry, kTcpIndexLength>(sent, place, view->tcpRows, columns, &cell)) {
                AnswerCell<TcpEntry, kTcpIndexLength>(view, object, view->tcpRows, cell, binding,
                                                      errorStatus);
                return true;
            }
        } else {
            if (!LoadUdp(view)) {
                return false;
            }
            if (NextCell<UdpEntry, kUdpIndexLength>(sent, place, view->udpRows, columns, &cell)) {
                AnswerCell<UdpEntry, kUdpIndexLength>(view, object, view->udpRows, cell, binding,
                                                      errorStatus);
                return true;
            }
        }
    }
    binding->value = Value{};
    *errorStatus = kErrorStatusNoSuchName;
    return true;
}

}  // namespace connwalk::kernel
