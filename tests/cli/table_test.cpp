// The aligned table, against golden text.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "records.h"
#include "table.h"

namespace connwalk_cli {
namespace {

Connection Tcp(std::string local, std::string remote, std::string state) {
    return {Protocol::Tcp, std::move(local), std::move(remote), std::move(state)};
}

Connection Udp(std::string local) { return {Protocol::Udp, std::move(local), {}, {}}; }

struct TableCase {
    const char *name;
    std::vector<Connection> connections;
    std::string golden;
};

class TableTest : public ::testing::TestWithParam<TableCase> {};

TEST_P(TableTest, MatchesGoldenText) {
    EXPECT_EQ(FormatTable(GetParam().connections), GetParam().golden);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, TableTest,
    ::testing::Values(
        TableCase{"Empty", {}, "Proto  Local  Remote  State\n"},
        TableCase{"OneListener",
                  {Tcp("vm:ftp", "0.0.0.0:0", "LISTENING")},
                  "Proto  Local   Remote     State\n"
                  "tcp    vm:ftp  0.0.0.0:0  LISTENING\n"},
        TableCase{"TcpThenUdp",
                  {Tcp("vm:ftp", "0.0.0.0:0", "LISTENING"),
                   Tcp("vm:40000", "localhost:ftp", "ESTABLISHED"), Udp("vm:domain")},
                  "Proto  Local      Remote         State\n"
                  "tcp    vm:ftp     0.0.0.0:0      LISTENING\n"
                  "tcp    vm:40000   localhost:ftp  ESTABLISHED\n"
                  "udp    vm:domain  -              -\n"},
        TableCase{"UdpOnly",
                  {Udp("vm:domain"), Udp("vm:5353")},
                  "Proto  Local      Remote  State\n"
                  "udp    vm:domain  -       -\n"
                  "udp    vm:5353    -       -\n"},
        // Widths count characters, not bytes: "é" is two bytes, one column.
        TableCase{"MultibyteNames",
                  {Tcp("h\xC3\xA9:1", "x:2", "LISTENING"), Tcp("abc:1", "x:2", "LISTENING")},
                  "Proto  Local  Remote  State\n"
                  "tcp    h\xC3\xA9:1   x:2     LISTENING\n"
                  "tcp    abc:1  x:2     LISTENING\n"},
        // Control bytes and broken UTF-8 would break the line or drive the
        // terminal; they show as '?'.
        TableCase{"UnprintableBytes",
                  {Tcp("a\nb\x1B:1", "\xFF\xC3:2", "LISTEN\x7F")},
                  "Proto  Local   Remote  State\n"
                  "tcp    a?b?:1  ??:2    LISTEN?\n"}),
    [](const ::testing::TestParamInfo<TableCase> &param) { return param.param.name; });

struct PrintableCase {
    std::string bytes;
    std::string printable;
};

TEST(PrintableText, ReplacesWhatATerminalMustNotSee) {
    const std::vector<PrintableCase> cases = {
        {"", ""},
        {"plain:80", "plain:80"},
        {"\r\t\x01", "???"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"\xE2\x82\xAC", "\xE2\x82\xAC"},                // euro sign
        {"\xE2\x82", "?"},                               // cut short: one piece
        {"\xC0\xAF", "??"},                              // overlong slash
        {"\xED\xA0\x80", "???"},                         // surrogate
        {"\xF4\x90\x80\x80", "????"},                    // past U+10FFFF
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},        // emoji, four bytes
    };
    for (const PrintableCase &c : cases) {
        EXPECT_EQ(PrintableText(c.bytes), c.printable) << ::testing::PrintToString(c.bytes);
    }
}

}  // namespace
}  // namespace connwalk_cli
