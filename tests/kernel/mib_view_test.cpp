// GETNEXT over the agent's view, with rows given by the test instead of the
// kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "mib/linux/kernel_agent.h"
#include "mib/linux/row_source.h"
#include "mib/walk.h"
#include "support/scripted_agent.h"

namespace connwalk::kernel {
namespace {

using testing::Ip;
using testing::Oid;
using testing::TcpCell;
using testing::UdpCell;

struct FixedRows {
    std::vector<TcpEntry> tcp;
    std::vector<UdpEntry> udp;
    MibCounters counters;
    bool tcpFails = false;
    bool countersFail = false;
    int tcpReads = 0;
    int udpReads = 0;
    int counterReads = 0;

    RowSource Source() {
        RowSource source;
        source.state = this;
        source.readTcp = [](void *state, std::vector<TcpEntry> *rows) {
            auto &self = *static_cast<FixedRows *>(state);
            ++self.tcpReads;
            *rows = self.tcp;
            return !self.tcpFails;
        };
        source.readUdp = [](void *state, std::vector<UdpEntry> *rows) {
            auto &self = *static_cast<FixedRows *>(state);
            ++self.udpReads;
            *rows = self.udp;
            return true;
        };
        source.readCounters = [](void *state, MibCounters *out) {
            auto &self = *static_cast<FixedRows *>(state);
            ++self.counterReads;
            *out = self.counters;
            return !self.countersFail;
        };
        return source;
    }
};

struct Answer {
    bool ok = false;
    int32_t status = -1;
    Oid name;
    uint8_t type = 0;
    int32_t number = 0;
    std::vector<uint8_t> bytes;
};

// A started agent over `rows`; GETNEXT through the Agent record.
struct ViewAgent {
    RowSource source;
    AgentGuard guard;

    explicit ViewAgent(FixedRows &rows) : source(rows.Source()) {
        EXPECT_TRUE(StartAgent(RowSourceAgent(&source), &guard.agent));
    }

    Answer Next(const Oid &name) {
        Binding binding;
        binding.name = ObjectName{static_cast<uint32_t>(name.size()), name.data()};
        BindingList list{&binding, 1};
        Answer answer;
        int32_t errorIndex = -1;
        answer.ok = guard.agent.query(guard.agent.state, kRequestGetNext, &list, &answer.status, &errorIndex);
        answer.name.assign(binding.name.ids, binding.name.ids + binding.name.count);
        answer.type = binding.value.type;
        answer.number = binding.value.number;
        if (binding.value.bytes != nullptr) {
            answer.bytes.assign(binding.value.bytes, binding.value.bytes + binding.value.length);
        }
        return answer;
    }
};

Oid Mib2(std::initializer_list<uint32_t> tail) {
    Oid name{1, 3, 6, 1, 2, 1};
    name.insert(name.end(), tail);
    return name;
}

Oid Append(Oid name, std::initializer_list<uint32_t> tail) {
    name.insert(name.end(), tail);
    return name;
}

// In index order: 0.0.0.0 < 10.x < 200.x, and port 65535 after port 80.
const TcpEntry kListenAny{2, Ip(0, 0, 0, 0), 21, Ip(0, 0, 0, 0), 0};
const TcpEntry kListen10{2, Ip(10, 0, 0, 1), 21, Ip(0, 0, 0, 0), 0};
const TcpEntry kWeb{5, Ip(10, 0, 0, 1), 80, Ip(192, 0, 2, 7), 50000};
const TcpEntry kHighPort{11, Ip(10, 0, 0, 1), 65535, Ip(192, 0, 2, 7), 80};
const TcpEntry kHigh200{9, Ip(200, 1, 1, 1), 22, Ip(10, 9, 9, 9), 1024};

const UdpEntry kDns{Ip(0, 0, 0, 0), 53};
const UdpEntry kNtp{Ip(127, 0, 0, 1), 123};
const UdpEntry kMdns{Ip(200, 0, 0, 1), 5353};

FixedRows SampleRows() {
    FixedRows rows;
    // Out of order, with repeats: a second listener on the same port
    // (SO_REUSEPORT) and a TIME_WAIT left over on the 4-tuple of a live one.
    TcpEntry staleWeb = kWeb;
    staleWeb.state = 11;
    rows.tcp = {kHigh200, staleWeb, kHighPort, kListen10, kWeb, kListenAny, kListen10};
    rows.udp = {kMdns, kNtp, kDns, kNtp};
    for (uint32_t i = 0; i < 16; ++i) {
        rows.counters.tcp[i] = 1000 + i;
    }
    rows.counters.tcp[4] = ~uint64_t{0};  // the kernel's -1 for tcpMaxConn
    rows.counters.udp[1] = 0x0102030405060708;
    rows.counters.udp[4] = 44;
    return rows;
}

struct NextCase {
    std::string what;
    Oid sent;
    Oid expected;
};

void PrintTo(const NextCase &test, std::ostream *out) { *out << test.what; }

class ViewOrder : public ::testing::TestWithParam<NextCase> {};

TEST_P(ViewOrder, AnswersTheNextObject) {
    FixedRows rows = SampleRows();
    ViewAgent agent(rows);
    const Answer answer = agent.Next(GetParam().sent);
    ASSERT_TRUE(answer.ok);
    EXPECT_EQ(answer.status, kErrorStatusNoError);
    EXPECT_EQ(answer.name, GetParam().expected);
}

const Oid kTcpEntryName = Mib2({6, 13, 1});
const Oid kUdpEntryName = Mib2({7, 5, 1});

INSTANTIATE_TEST_SUITE_P(
    Names, ViewOrder,
    ::testing::Values(
        NextCase{"TableStart", kTcpEntryName, TcpCell(1, kListenAny)},
        NextCase{"ColumnOnly", Append(kTcpEntryName, {1}), TcpCell(1, kListenAny)},
        NextCase{"ColumnZero", Append(kTcpEntryName, {0}), TcpCell(1, kListenAny)},
        NextCase{"ColumnZeroWithIndex", Append(kTcpEntryName, {0, 255, 255}), TcpCell(1, kListenAny)},
        NextCase{"WithinColumn", TcpCell(1, kListenAny), TcpCell(1, kListen10)},
        NextCase{"PortsAsUnsignedNumbers", TcpCell(1, kWeb), TcpCell(1, kHighPort)},
        NextCase{"AddressBytesAsUnsignedNumbers", TcpCell(1, kHighPort), TcpCell(1, kHigh200)},
        NextCase{"AcrossColumns", TcpCell(1, kHigh200), TcpCell(2, kListenAny)},
        NextCase{"LastColumnToLast", TcpCell(4, kHigh200), TcpCell(5, kListenAny)},
        NextCase{"PastLastCell", TcpCell(5, kHigh200), Mib2({6, 14, 0})},
        NextCase{"ColumnSix", Append(kTcpEntryName, {6}), Mib2({6, 14, 0})},
        NextCase{"ColumnSixWithIndex", Append(kTcpEntryName, {6, 0, 0, 0, 0}), Mib2({6, 14, 0})},
        NextCase{"LargestColumn", Append(kTcpEntryName, {4294967295u}), Mib2({6, 14, 0})},
        NextCase{"PartialIndexAddress", Append(kTcpEntryName, {3, 10}), TcpCell(3, kListen10)},
        NextCase{"PartialIndexPort", Append(kTcpEntryName, {3, 10, 0, 0, 1, 21}), TcpCell(3, kListen10)},
        NextCase{"FullIndexNotACell", Append(kTcpEntryName, {3, 10, 0, 0, 1, 21, 0, 0, 0, 0, 1}),
                 TcpCell(3, kWeb)},
        NextCase{"OverLongIndex", Append(TcpCell(2, kListen10), {0}), TcpCell(2, kWeb)},
        NextCase{"OverLongLastCell", Append(TcpCell(5, kHigh200), {7, 7}), Mib2({6, 14, 0})},
        NextCase{"SubIdentifierAbove255", Append(kTcpEntryName, {1, 10, 0, 0, 300}), TcpCell(1, kHigh200)},
        NextCase{"IndexPastAllRows", Append(kTcpEntryName, {1, 4294967295u}), TcpCell(2, kListenAny)},
        NextCase{"EmptyName", {}, Mib2({6, 1, 0})},
        NextCase{"NameBeforeTheGroups", {1, 3, 6, 1, 2, 1, 1, 1, 0}, Mib2({6, 1, 0})},
        NextCase{"GroupName", Mib2({6}), Mib2({6, 1, 0})},
        NextCase{"ScalarToScalar", Mib2({6, 1, 0}), Mib2({6, 2, 0})},
        NextCase{"ScalarBeforeTable", Mib2({6, 12, 0}), TcpCell(1, kListenAny)},
        NextCase{"TableName", Mib2({6, 13}), TcpCell(1, kListenAny)},
        NextCase{"AfterTableEntry", Mib2({6, 13, 2}), Mib2({6, 14, 0})},
        NextCase{"TcpToUdp", Mib2({6, 15, 0}), Mib2({7, 1, 0})},
        NextCase{"PastTcpGroupObjects", Mib2({6, 16}), Mib2({7, 1, 0})},
        NextCase{"UdpTableStart", kUdpEntryName, UdpCell(1, kDns)},
        NextCase{"UdpScalarBeforeTable", Mib2({7, 4, 0}), UdpCell(1, kDns)},
        NextCase{"UdpWithinColumn", UdpCell(1, kNtp), UdpCell(1, kMdns)},
        NextCase{"UdpAcrossColumns", UdpCell(1, kMdns), UdpCell(2, kDns)},
        NextCase{"UdpPastLastCell", UdpCell(2, kMdns), Mib2({7, 8, 0})},
        NextCase{"UdpColumnThree", Append(kUdpEntryName, {3}), Mib2({7, 8, 0})},
        NextCase{"UdpHcScalars", Mib2({7, 8, 0}), Mib2({7, 9, 0})}),
    [](const ::testing::TestParamInfo<NextCase> &test) { return test.param.what; });

// Every object of the sample view, in order, listed out by hand: scalars and
// the cells of the de-duplicated rows.
std::vector<Oid> SampleViewNames() {
    std::vector<Oid> names;
    for (uint32_t number = 1; number <= 12; ++number) {
        names.push_back(Mib2({6, number, 0}));
    }
    for (uint32_t column = 1; column <= 5; ++column) {
        for (const TcpEntry &row : {kListenAny, kListen10, kWeb, kHighPort, kHigh200}) {
            names.push_back(TcpCell(column, row));
        }
    }
    for (const uint32_t number : {14u, 15u}) {
        names.push_back(Mib2({6, number, 0}));
    }
    for (uint32_t number = 1; number <= 4; ++number) {
        names.push_back(Mib2({7, number, 0}));
    }
    for (uint32_t column = 1; column <= 2; ++column) {
        for (const UdpEntry &row : {kDns, kNtp, kMdns}) {
            names.push_back(UdpCell(column, row));
        }
    }
    for (const uint32_t number : {8u, 9u}) {
        names.push_back(Mib2({7, number, 0}));
    }
    return names;
}

// Names near every object (cut short, one more or less in any place,
// extended) are answered with the first listed name after them.
TEST(ViewOrderAround, EveryNearbyNameGetsTheNextListedObject) {
    const std::vector<Oid> listed = SampleViewNames();
    ASSERT_TRUE(std::is_sorted(listed.begin(), listed.end()));
    std::vector<Oid> probes;
    for (const Oid &name : listed) {
        for (size_t length = 0; length <= name.size(); ++length) {
            probes.emplace_back(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(length));
        }
        for (size_t i = 0; i < name.size(); ++i) {
            for (const uint32_t value : {name[i] - 1, name[i] + 1, 0u, 4294967295u}) {
                Oid changed = name;
                changed[i] = value;
                probes.push_back(changed);
            }
        }
        probes.push_back(Append(name, {0}));
        probes.push_back(Append(name, {4294967295u, 7}));
    }
    FixedRows rows = SampleRows();
    ViewAgent agent(rows);
    for (const Oid &probe : probes) {
        const Answer answer = agent.Next(probe);
        ASSERT_TRUE(answer.ok);
        const auto next = std::upper_bound(listed.begin(), listed.end(), probe);
        if (next == listed.end()) {
            EXPECT_EQ(answer.status, kErrorStatusNoSuchName);
            EXPECT_EQ(answer.name, probe);
        } else {
            EXPECT_EQ(answer.status, kErrorStatusNoError);
            EXPECT_EQ(answer.name, *next) << ::testing::PrintToString(probe);
        }
    }
}

// Past the end of the view an SNMPv1 agent answers noSuchName with the name
// it was sent.
TEST(ViewEnd, AnswersNoSuchNameWithTheNameSent) {
    const Oid names[] = {Mib2({7, 9, 0}), Mib2({7, 9, 0, 1}), Mib2({8}), {2}, {4294967295u, 1}};
    FixedRows rows = SampleRows();
    ViewAgent agent(rows);
    for (const Oid &name : names) {
        const Answer answer = agent.Next(name);
        ASSERT_TRUE(answer.ok);
        EXPECT_EQ(answer.status, kErrorStatusNoSuchName);
        EXPECT_EQ(answer.name, name);
        EXPECT_EQ(answer.type, kAsnNull);
    }
}

TEST(ViewValues, CellsCarryTheRowsValues) {
    FixedRows rows = SampleRows();
    ViewAgent agent(rows);
    const auto previous = [](Oid name) {
        --name.back();
        return name;
    };
    // The live connection wins over the TIME_WAIT on the same 4-tuple.
    Answer state = agent.Next(previous(TcpCell(1, kWeb)));
    EXPECT_EQ(state.name, TcpCell(1, kWeb));
    EXPECT_EQ(state.type, kAsnInteger);
    EXPECT_EQ(state.number, 5);

    const Answer local = agent.Next(previous(TcpCell(2, kWeb)));
    EXPECT_EQ(local.type, kAsnIpAddress);
    EXPECT_EQ(local.bytes, (std::vector<uint8_t>{10, 0, 0, 1}));
    const Answer localPort = agent.Next(previous(TcpCell(3, kWeb)));
    EXPECT_EQ(localPort.type, kAsnInteger);
    EXPECT_EQ(localPort.number, 80);
    const Answer remote = agent.Next(previous(TcpCell(4, kWeb)));
    EXPECT_EQ(remote.bytes, (std::vector<uint8_t>{192, 0, 2, 7}));
    const Answer remotePort = agent.Next(previous(TcpCell(5, kWeb)));
    EXPECT_EQ(remotePort.number, 50000);

    const Answer udpAddress = agent.Next(previous(UdpCell(1, kMdns)));
    EXPECT_EQ(udpAddress.type, kAsnIpAddress);
    EXPECT_EQ(udpAddress.bytes, (std::vector<uint8_t>{200, 0, 0, 1}));
    const Answer udpPort = agent.Next(previous(UdpCell(2, kMdns)));
    EXPECT_EQ(udpPort.number, 5353);
}

TEST(ViewValues, ScalarsCarryTheCounters) {
    FixedRows rows = SampleRows();
    ViewAgent agent(rows);
    const Answer maxConn = agent.Next(Mib2({6, 3, 0}));
    EXPECT_EQ(maxConn.type, kAsnInteger);
    EXPECT_EQ(maxConn.number, -1);
    const Answer inErrs = agent.Next(TcpCell(5, kHigh200));
    EXPECT_EQ(inErrs.type, kAsnCounter32);
    EXPECT_EQ(inErrs.number, 1014);
    const Answer currEstab = agent.Next(Mib2({6, 8, 0}));
    EXPECT_EQ(currEstab.type, kAsnGauge32);
    const Answer hcIn = agent.Next(UdpCell(2, kMdns));
    EXPECT_EQ(hcIn.type, kAsnCounter64);
    EXPECT_EQ(hcIn.bytes, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    const Answer hcOut = agent.Next(hcIn.name);
    EXPECT_EQ(hcOut.bytes, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 44}));
}

TEST(ViewValues, ScalarNamesAreServedWithoutCounters) {
    FixedRows rows = SampleRows();
    rows.countersFail = true;
    ViewAgent agent(rows);
    const Answer answer = agent.Next(TcpCell(5, kHigh200));
    ASSERT_TRUE(answer.ok);
    EXPECT_EQ(answer.name, Mib2({6, 14, 0}));
    EXPECT_EQ(answer.number, 0);
}

TEST(ViewEmpty, WalksPastEmptyTablesToTheNextScalar) {
    FixedRows rows;
    ViewAgent agent(rows);
    EXPECT_EQ(agent.Next(kTcpEntryName).name, Mib2({6, 14, 0}));
    EXPECT_EQ(agent.Next(Mib2({6, 12, 0})).name, Mib2({6, 14, 0}));
    EXPECT_EQ(agent.Next(Append(kTcpEntryName, {3, 10})).name, Mib2({6, 14, 0}));
    EXPECT_EQ(agent.Next(kUdpEntryName).name, Mib2({7, 8, 0}));
}

TEST(ViewWalk, WalkYieldsEachIndexOnceInOrder) {
    FixedRows rows = SampleRows();
    ViewAgent agent(rows);
    std::vector<TcpEntry> tcp;
    ASSERT_EQ(WalkTcpTable(agent.guard.agent, tcp), WalkEnd::Complete);
    EXPECT_EQ(tcp, (std::vector<TcpEntry>{kListenAny, kListen10, kWeb, kHighPort, kHigh200}));
    std::vector<UdpEntry> udp;
    ASSERT_EQ(WalkUdpTable(agent.guard.agent, udp), WalkEnd::Complete);
    EXPECT_EQ(udp, (std::vector<UdpEntry>{kDns, kNtp, kMdns}));
}

bool SameAnswer(const Answer &a, const Answer &b) {
    return a.ok == b.ok && a.status == b.status && a.name == b.name && a.type == b.type &&
           a.number == b.number && a.bytes == b.bytes;
}

// A walk sends each answer back, and the agent serves the next cell without
// a search; whatever the order of the names sent, the answers are those that
// a fresh view finds by search.
TEST(ViewWalk, AnswersAfterTheLastAnswerAgreeWithASearch) {
    FixedRows rows = SampleRows();
    ViewAgent walker(rows);
    std::vector<Oid> answered;
    Oid sent = Mib2({6});
    for (int step = 0; step < 100; ++step) {
        const Answer chained = walker.Next(sent);
        ViewAgent fresh(rows);
        ASSERT_TRUE(SameAnswer(chained, fresh.Next(sent))) << "step " << step;
        if (chained.status != kErrorStatusNoError) {
            break;
        }
        answered.push_back(chained.name);
        sent = chained.name;
    }
    ASSERT_GT(answered.size(), 5 * 5 + 2 * 3u);

    // The same names out of order, each sent once or twice running, to an
    // agent that keeps its memory of the last answer throughout.
    ViewAgent jumper(rows);
    for (size_t i = 0; i < answered.size(); ++i) {
        const Oid &name = answered[(i * 7) % answered.size()];
        for (int again = 0; again < 1 + static_cast<int>(i % 2); ++again) {
            const Answer jumped = jumper.Next(name);
            ViewAgent search(rows);
            ASSERT_TRUE(SameAnswer(jumped, search.Next(name))) << "name " << i;
        }
    }
}

TEST(ViewSnapshot, EachTableIsReadOnceWhenFirstNeeded) {
    FixedRows rows = SampleRows();
    ViewAgent agent(rows);
    agent.Next(Mib2({6, 1, 0}));
    agent.Next(Mib2({6, 14, 0}));
    agent.Next(Append(kTcpEntryName, {6}));
    EXPECT_EQ(rows.tcpReads, 0);
    std::vector<TcpEntry> tcp;
    ASSERT_EQ(WalkTcpTable(agent.guard.agent, tcp), WalkEnd::Complete);
    EXPECT_EQ(rows.tcpReads, 1);
    EXPECT_EQ(rows.udpReads, 0);

    // The snapshot stays as it was read, whatever the source holds now.
    rows.tcp.clear();
    ASSERT_EQ(WalkTcpTable(agent.guard.agent, tcp), WalkEnd::Complete);
    EXPECT_EQ(tcp.size(), 5u);
    EXPECT_EQ(rows.tcpReads, 1);

    // Another agent takes its own snapshot.
    ViewAgent second(rows);
    ASSERT_EQ(WalkTcpTable(second.guard.agent, tcp), WalkEnd::Complete);
    EXPECT_TRUE(tcp.empty());
    EXPECT_EQ(rows.tcpReads, 2);
}

TEST(ViewSnapshot, UnreadableTableFailsOnlyQueriesThatNeedIt) {
    FixedRows rows = SampleRows();
    rows.tcpFails = true;
    ViewAgent agent(rows);
    Oid sent = kTcpEntryName;
    Binding binding;
    binding.name = ObjectName{static_cast<uint32_t>(sent.size()), sent.data()};
    BindingList list{&binding, 1};
    int32_t status = 0;
    int32_t index = 0;
    EXPECT_FALSE(agent.guard.agent.query(agent.guard.agent.state, kRequestGetNext, &list, &status, &index));
    EXPECT_EQ(binding.name.ids, sent.data());
    EXPECT_TRUE(agent.Next(Mib2({6, 1, 0})).ok);
    EXPECT_EQ(agent.Next(Mib2({6, 14, 0})).name, Mib2({6, 15, 0}));
    EXPECT_EQ(agent.Next(kUdpEntryName).name, UdpCell(1, kDns));
}

TEST(AgentRequests, OnlyGetNextOnOneBindingIsAnswered) {
    FixedRows rows = SampleRows();
    ViewAgent agent(rows);
    Oid name = kTcpEntryName;
    Binding bindings[2];
    bindings[0].name = bindings[1].name = ObjectName{static_cast<uint32_t>(name.size()), name.data()};
    int32_t status = 0;
    int32_t index = 0;
    const Agent &started = agent.guard.agent;
    BindingList one{bindings, 1};
    EXPECT_FALSE(started.query(started.state, 0xA0, &one, &status, &index));  // GET
    EXPECT_FALSE(started.query(started.state, 0xA3, &one, &status, &index));  // SET
    BindingList two{bindings, 2};
    EXPECT_FALSE(started.query(started.state, kRequestGetNext, &two, &status, &index));
    BindingList none{bindings, 0};
    EXPECT_FALSE(started.query(started.state, kRequestGetNext, &none, &status, &index));
    EXPECT_TRUE(started.query(started.state, kRequestGetNext, &one, &status, &index));
}

TEST(AgentRequests, AnswerSentBackIsReadBeforeItIsOverwritten) {
    FixedRows rows = SampleRows();
    ViewAgent agent(rows);
    Oid start = kTcpEntryName;
    Binding binding;
    binding.name = ObjectName{static_cast<uint32_t>(start.size()), start.data()};
    BindingList list{&binding, 1};
    int32_t status = 0;
    int32_t index = 0;
    const Agent &started = agent.guard.agent;
    std::vector<Oid> names;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(started.query(started.state, kRequestGetNext, &list, &status, &index));
        names.emplace_back(binding.name.ids, binding.name.ids + binding.name.count);
    }
    EXPECT_EQ(names, (std::vector<Oid>{TcpCell(1, kListenAny), TcpCell(1, kListen10), TcpCell(1, kWeb)}));
    // From the last cell to scalars and on into the next table, each time
    // from the agent's own previous answer.
    const Oid last = TcpCell(5, kHighPort);
    binding.name = ObjectName{static_cast<uint32_t>(last.size()), last.data()};
    names.clear();
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(started.query(started.state, kRequestGetNext, &list, &status, &index));
        names.emplace_back(binding.name.ids, binding.name.ids + binding.name.count);
    }
    EXPECT_EQ(names, (std::vector<Oid>{TcpCell(5, kHigh200), Mib2({6, 14, 0}),
                                       Mib2({6, 15, 0}), Mib2({7, 1, 0}), Mib2({7, 2, 0}), Mib2({7, 3, 0}),
                                       Mib2({7, 4, 0}), UdpCell(1, kDns)}));
}

}  // namespace
}  // namespace connwalk::kernel
