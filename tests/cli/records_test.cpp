// Taking listings apart into records and fields.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "records.h"

namespace connwalk_cli {
namespace {

using ::testing::ElementsAre;

struct SplitCase {
    const char *name;
    std::string listing;
    std::vector<Record> records;
};

class SplitRecordsTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitRecordsTest, SplitsAtBackslashesAndCarriageReturns) {
    EXPECT_EQ(SplitRecords(GetParam().listing), GetParam().records);
}

INSTANTIATE_TEST_SUITE_P(
    Listings, SplitRecordsTest,
    ::testing::Values(
        SplitCase{"Empty", "", {}},
        SplitCase{"OneUdpRecord", "vm:domain\\", {{"vm:domain"}}},
        SplitCase{"OneTcpRecord", "vm:ftp\r0.0.0.0:0\rLISTENING\\",
                  {{"vm:ftp", "0.0.0.0:0", "LISTENING"}}},
        SplitCase{"TwoRecords", "a:1\rb:2\rESTABLISHED\\c:3\r0.0.0.0:0\rLISTENING\\",
                  {{"a:1", "b:2", "ESTABLISHED"}, {"c:3", "0.0.0.0:0", "LISTENING"}}},
        SplitCase{"TrailingRecordWithoutTerminator", "a:1\\b:2", {{"a:1"}, {"b:2"}}},
        SplitCase{"EmptyFields", "\r\r\\", {{"", "", ""}}},
        SplitCase{"EmptyRecord", "\\", {{""}}},
        SplitCase{"OtherBytesPassThrough", std::string("h\xC3\xA9\t\n\0x:1\\", 10),
                  {{std::string("h\xC3\xA9\t\n\0x:1", 9)}}}),
    [](const ::testing::TestParamInfo<SplitCase> &param) { return param.param.name; });

TEST(Connections, TcpRecordsBecomeThreeFieldRows) {
    const std::vector<Connection> rows =
        TcpConnections("vm:ftp\r0.0.0.0:0\rLISTENING\\vm:5000\rlocalhost:ftp\\");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].protocol, Protocol::Tcp);
    EXPECT_THAT((std::vector<std::string>{rows[0].local, rows[0].remote, rows[0].state}),
                ElementsAre("vm:ftp", "0.0.0.0:0", "LISTENING"));
    // A short record leaves the missing fields empty.
    EXPECT_THAT((std::vector<std::string>{rows[1].local, rows[1].remote, rows[1].state}),
                ElementsAre("vm:5000", "localhost:ftp", ""));
}

TEST(Connections, UdpRecordsAreLocalEndpointsOnly) {
    const std::vector<Connection> rows = UdpListeners("vm:domain\\vm:40000\\");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].protocol, Protocol::Udp);
    EXPECT_EQ(rows[0].local, "vm:domain");
    EXPECT_EQ(rows[1].local, "vm:40000");
    EXPECT_TRUE(rows[1].remote.empty());
    EXPECT_TRUE(rows[1].state.empty());
}

TEST(Connections, EmptyListingsHaveNoRows) {
    EXPECT_TRUE(TcpConnections("").empty());
    EXPECT_TRUE(UdpListeners("").empty());
}

}  // namespace
}  // namespace connwalk_cli
