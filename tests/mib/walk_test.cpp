// The walk against scripted agents: well-behaved tables, and agents that
// answer in ways no well-behaved agent would.
#include <gtest/gtest.h>

#include "mib/walk.h"
#include "support/scripted_agent.h"

namespace connwalk {
namespace {

using testing::Integer;
using testing::Ip;
using testing::IpAddress;
using testing::Octets;
using testing::Oid;
using testing::ScriptedAgent;
using testing::ScriptedObject;
using testing::TcpCell;
using testing::UdpCell;

const Oid kTcpStart{1, 3, 6, 1, 2, 1, 6, 13, 1, 1};
const Oid kTcpInErrs{1, 3, 6, 1, 2, 1, 6, 14, 0};
const Oid kUdpHcIn{1, 3, 6, 1, 2, 1, 7, 8, 0};

const TcpEntry kListener{2, Ip(0, 0, 0, 0), 21, Ip(0, 0, 0, 0), 0};
const TcpEntry kLoopback{5, Ip(127, 0, 0, 1), 1500, Ip(127, 0, 0, 1), 21};
const TcpEntry kMail{5, Ip(10, 0, 0, 1), 1025, Ip(192, 0, 2, 7), 25};

struct Walked {
    WalkEnd end;
    std::vector<TcpEntry> entries;
};

Walked WalkTcp(ScriptedAgent &scripted) {
    Agent agent;
    EXPECT_TRUE(StartAgent(scripted.Starter(), &agent));
    Walked walked{WalkEnd::QueryFailed, {TcpEntry{}}};  // must be emptied by the walk
    walked.end = WalkTcpTable(agent, walked.entries);
    CloseAgent(&agent);
    return walked;
}

std::vector<UdpEntry> WalkUdp(ScriptedAgent &scripted, WalkEnd expected = WalkEnd::Complete) {
    Agent agent;
    EXPECT_TRUE(StartAgent(scripted.Starter(), &agent));
    std::vector<UdpEntry> entries{UdpEntry{}};
    EXPECT_EQ(WalkUdpTable(agent, entries), expected);
    CloseAgent(&agent);
    return entries;
}

TEST(WalkTest, EmptyTableEndsAtTheNextObjectAfterOneRequest) {
    ScriptedAgent scripted;
    scripted.view = testing::TcpTableView({});
    Walked walked = WalkTcp(scripted);
    EXPECT_EQ(walked.end, WalkEnd::Complete);
    EXPECT_TRUE(walked.entries.empty());
    EXPECT_EQ(scripted.queries, 1);
    ASSERT_EQ(scripted.sent.size(), 1U);
    EXPECT_EQ(scripted.sent[0], kTcpStart);
}

TEST(WalkTest, ColumnsMergeIntoRowsInTheAgentsOrder) {
    ScriptedAgent scripted;
    // 0.0.0.0 sorts before 10.0.0.1 and 127.0.0.1: the index order.
    scripted.view = testing::TcpTableView({kListener, kMail, kLoopback});
    Walked walked = WalkTcp(scripted);
    EXPECT_EQ(walked.end, WalkEnd::Complete);
    EXPECT_EQ(walked.entries, (std::vector<TcpEntry>{kListener, kMail, kLoopback}));
    EXPECT_EQ(scripted.queries, 5 * 3 + 1);
    // Each request continues from the previous answer.
    EXPECT_EQ(scripted.sent[1], TcpCell(1, kListener));
    EXPECT_EQ(scripted.sent[15], TcpCell(5, kLoopback));
}

TEST(WalkTest, UdpTableMerges) {
    const UdpEntry any{Ip(0, 0, 0, 0), 53};
    const UdpEntry loop{Ip(127, 0, 0, 1), 161};
    ScriptedAgent scripted;
    scripted.view = testing::UdpTableView({any, loop});
    EXPECT_EQ(WalkUdp(scripted), (std::vector<UdpEntry>{any, loop}));
    EXPECT_EQ(scripted.queries, 2 * 2 + 1);
    EXPECT_EQ(scripted.sent[0], (Oid{1, 3, 6, 1, 2, 1, 7, 5, 1, 1}));
}

TEST(WalkTest, TableLastInTheViewEndsWithoutMovingOn) {
    // An agent with nothing after the table hands back the name it was sent.
    ScriptedAgent scripted;
    scripted.view = testing::UdpTableView({UdpEntry{Ip(0, 0, 0, 0), 53}});
    scripted.view.pop_back();
    EXPECT_EQ(WalkUdp(scripted).size(), 1U);
    EXPECT_EQ(scripted.queries, 3);
}

TEST(WalkTest, NameOfExactlyTenSubIdentifiersIsACell) {
    // Column 2 with no index at all: a cell (of no row), not the end.
    const UdpEntry any{Ip(0, 0, 0, 0), 53};
    ScriptedAgent scripted;
    scripted.script = {IpAddress(UdpCell(1, any), any.localAddress),
                       Integer({1, 3, 6, 1, 2, 1, 7, 5, 1, 2}, 7), Integer(UdpCell(2, any), 53),
                       Octets(kUdpHcIn, {}, kAsnCounter64)};
    EXPECT_EQ(WalkUdp(scripted), (std::vector<UdpEntry>{any}));
    EXPECT_EQ(scripted.queries, 4);
}

TEST(WalkTest, ValuesOfColumnsTheTableLacksAreIgnored) {
    ScriptedAgent scripted;
    scripted.view = testing::TcpTableView({kListener, kLoopback});
    Oid column6 = TcpCell(6, kListener);
    Oid column0 = TcpCell(0, kListener);
    scripted.view.insert(scripted.view.end() - 1, Integer(column6, 99));
    scripted.view.insert(scripted.view.begin(), Integer(column0, 99));
    Walked walked = WalkTcp(scripted);
    EXPECT_EQ(walked.end, WalkEnd::Complete);
    EXPECT_EQ(walked.entries, (std::vector<TcpEntry>{kListener, kLoopback}));
    EXPECT_EQ(scripted.queries, 5 * 2 + 2);
}

TEST(WalkTest, FailedQueryAnywhereFailsTheWalk) {
    for (long failAt : {0L, 1L, 7L, 15L}) {
        ScriptedAgent scripted;
        scripted.view = testing::TcpTableView({kListener, kMail, kLoopback});
        scripted.failAtQuery = failAt;
        Walked walked = WalkTcp(scripted);
        EXPECT_EQ(walked.end, WalkEnd::QueryFailed) << failAt;
        EXPECT_TRUE(walked.entries.empty()) << failAt;
        EXPECT_EQ(scripted.queries, failAt + 1);
    }
}

// Answers that no well-behaved agent gives: each must end the walk with the
// rows read until then, and never loop.
TEST(WalkTest, AnswersThatDoNotMoveForwardOrLeaveTheTableEndTheWalk) {
    const ScriptedObject first = Integer(TcpCell(1, kListener), 2);
    struct Case {
        const char *what;
        ScriptedObject answer;
    };
    const Case cases[] = {
        {"the same name again", first},
        {"a name before the last", Integer(kTcpStart, 2)},
        {"another table's cell", Integer({1, 3, 6, 1, 2, 1, 6, 19, 1, 7, 1, 4, 0, 0, 0, 0}, 2)},
        {"a name far past the group", Integer({1, 3, 6, 1, 2, 1, 25, 1, 1, 1, 1, 1}, 2)},
        {"a name that only begins the entry", Integer({1, 3, 6, 1, 2, 1, 6, 13, 1}, 2)},
    };
    for (const Case &c : cases) {
        ScriptedAgent scripted;
        scripted.script = {first, c.answer, Integer(TcpCell(2, kListener), 0)};
        Walked walked = WalkTcp(scripted);
        EXPECT_EQ(walked.end, WalkEnd::Complete) << c.what;
        EXPECT_EQ(scripted.queries, 2) << c.what;
        // Column 1 alone is not a whole row.
        EXPECT_TRUE(walked.entries.empty()) << c.what;
    }
}

TEST(WalkTest, MistypedOrShortValuesDropOnlyTheirRow) {
    struct Case {
        const char *what;
        uint32_t column;
        ScriptedObject (*make)(Oid);
    };
    const Case cases[] = {
        {"address of 3 bytes", 2, [](Oid n) { return Octets(n, {10, 0, 0}, kAsnIpAddress); }},
        {"address with no bytes", 4, [](Oid n) { return Octets(n, {}, kAsnIpAddress); }},
        {"address as an octet string", 2, [](Oid n) { return Octets(n, {10, 0, 0, 1}); }},
        {"address as an integer", 4, [](Oid n) { return Integer(n, 0x0a000001); }},
        {"port as a counter", 3, [](Oid n) { return Octets(n, {}, kAsnCounter32); }},
        {"port as an address", 5, [](Oid n) { return IpAddress(n, Ip(0, 0, 0, 21)); }},
        {"state as null", 1, [](Oid n) { return Octets(n, {}, kAsnNull); }},
    };
    for (const Case &c : cases) {
        ScriptedAgent scripted;
        scripted.view = testing::TcpTableView({kListener, kMail, kLoopback});
        for (ScriptedObject &object : scripted.view) {
            if (object.name == TcpCell(c.column, kMail)) {
                object = c.make(object.name);
            }
        }
        Walked walked = WalkTcp(scripted);
        EXPECT_EQ(walked.end, WalkEnd::Complete) << c.what;
        EXPECT_EQ(walked.entries, (std::vector<TcpEntry>{kListener, kLoopback})) << c.what;
    }
}

TEST(WalkTest, AddressWithMoreThanFourBytesUsesTheFirstFour) {
    ScriptedAgent scripted;
    scripted.view = testing::UdpTableView({UdpEntry{Ip(10, 0, 0, 1), 53}});
    scripted.view[0] = Octets(scripted.view[0].name, {10, 0, 0, 1, 9, 9}, kAsnIpAddress);
    EXPECT_EQ(WalkUdp(scripted), (std::vector<UdpEntry>{UdpEntry{Ip(10, 0, 0, 1), 53}}));
}

// The table changed between the column passes: B closed after column 1 was
// read, D opened after it. Nothing of B is shown half-filled, nothing of D
// lands in another row, and A and C keep their own cells.
TEST(WalkTest, ColumnsOfDifferentLengthsMatchRowsByIndex) {
    const TcpEntry a{2, Ip(0, 0, 0, 0), 21, Ip(0, 0, 0, 0), 0};
    const TcpEntry b{5, Ip(10, 0, 0, 1), 2000, Ip(192, 0, 2, 1), 80};
    const TcpEntry c{5, Ip(10, 0, 0, 1), 3000, Ip(192, 0, 2, 2), 443};
    const TcpEntry d{5, Ip(10, 0, 0, 1), 2500, Ip(192, 0, 2, 3), 22};
    ScriptedAgent scripted;
    const std::vector<ScriptedObject> before = testing::TcpTableView({a, b, c});
    const std::vector<ScriptedObject> after = testing::TcpTableView({a, d, c});
    auto column = [](const ScriptedObject &object) { return object.name.size() > 9 ? object.name[9] : 0; };
    for (const ScriptedObject &object : before) {
        if (column(object) == 1) scripted.view.push_back(object);
    }
    for (const ScriptedObject &object : after) {
        if (column(object) != 1) scripted.view.push_back(object);
    }
    Walked walked = WalkTcp(scripted);
    EXPECT_EQ(walked.end, WalkEnd::Complete);
    EXPECT_EQ(walked.entries, (std::vector<TcpEntry>{a, c}));
}

// An agent may index a table in its own way; the merge matches whole
// indexes of any length, short or long.
TEST(WalkTest, IndexesOfAnyLengthMatchWhole) {
    const Oid entry{1, 3, 6, 1, 2, 1, 7, 5, 1};
    auto cell = [&](uint32_t column, std::initializer_list<uint32_t> index) {
        Oid name = entry;
        name.push_back(column);
        name.insert(name.end(), index);
        return name;
    };
    // Indexes of 1, 5, 11 and 16 sub-identifiers, in order; the two longest
    // differ only in their last sub-identifier.
    const std::initializer_list<uint32_t> indexes[] = {
        {7},
        {10, 0, 0, 1, 53},
        {10, 0, 0, 1, 53, 1, 2, 3, 4, 5, 6},
        {10, 0, 0, 1, 53, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
        {10, 0, 0, 1, 53, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12},
    };
    ScriptedAgent scripted;
    for (uint8_t i = 0; i < 5; ++i) {
        scripted.view.push_back(IpAddress(cell(1, indexes[i]), Ip(10, 0, 0, i)));
    }
    // Column 2 lacks the row with the 11-sub-identifier index.
    for (uint8_t i = 0; i < 5; ++i) {
        if (i != 2) {
            scripted.view.push_back(Integer(cell(2, indexes[i]), 100 + i));
        }
    }
    scripted.view.push_back(Octets(kUdpHcIn, {}, kAsnCounter64));
    EXPECT_EQ(WalkUdp(scripted),
              (std::vector<UdpEntry>{{Ip(10, 0, 0, 0), 100}, {Ip(10, 0, 0, 1), 101},
                                     {Ip(10, 0, 0, 3), 103}, {Ip(10, 0, 0, 4), 104}}));
}

TEST(WalkTest, LaterColumnWithExtraRowsAtTheEndIgnoresThem) {
    const UdpEntry a{Ip(0, 0, 0, 0), 53};
    const UdpEntry b{Ip(127, 0, 0, 1), 123};
    ScriptedAgent scripted;
    scripted.view = {IpAddress(UdpCell(1, a), a.localAddress), Integer(UdpCell(2, a), 53),
                     Integer(UdpCell(2, b), 123), Octets(kUdpHcIn, {}, kAsnCounter64)};
    EXPECT_EQ(WalkUdp(scripted), (std::vector<UdpEntry>{a}));
}

TEST(WalkTest, AgentWithNoNameOrNoValueBytesIsSurvived) {
    // A name count with no array behind it, and an address with no bytes.
    ScriptedAgent scripted;
    scripted.view = testing::UdpTableView({UdpEntry{Ip(0, 0, 0, 0), 53}});
    Agent agent;
    ASSERT_TRUE(StartAgent(scripted.Starter(), &agent));
    Agent broken = agent;
    broken.query = [](void *, uint8_t, BindingList *list, int32_t *, int32_t *) {
        list->bindings[0].name = ObjectName{12, nullptr};
        return true;
    };
    std::vector<UdpEntry> entries;
    EXPECT_EQ(WalkUdpTable(broken, entries), WalkEnd::Complete);
    EXPECT_TRUE(entries.empty());
    broken.query = [](void *, uint8_t, BindingList *list, int32_t *, int32_t *) {
        static const uint32_t cell[] = {1, 3, 6, 1, 2, 1, 7, 5, 1, 1, 0, 0, 0, 0, 53};
        static bool answered = false;
        list->bindings[0].name = ObjectName{answered ? 9U : 15U, cell};
        list->bindings[0].value = Value{kAsnIpAddress, 0, 4, nullptr};
        answered = true;
        return true;
    };
    EXPECT_EQ(WalkUdpTable(broken, entries), WalkEnd::Complete);
    EXPECT_TRUE(entries.empty());
    CloseAgent(&agent);
}

TEST(WalkTest, StartFailureAndCloseAreReported) {
    ScriptedAgent scripted;
    scripted.startFails = true;
    Agent agent;
    EXPECT_FALSE(StartAgent(scripted.Starter(), &agent));
    EXPECT_EQ(agent.query, nullptr);
    CloseAgent(&agent);  // safe on an agent that never started
    EXPECT_EQ(scripted.closes, 0);
}

}  // namespace
}  // namespace connwalk
