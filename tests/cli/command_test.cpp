// The connwalk command run as a process, against the real library and
// sockets the tests make on loopback.
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "json_reader.h"
#include "library.h"
#include "loopback.h"
#include "run_command.h"

namespace connwalk::testing {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Words(const std::string &line) {
    std::vector<std::string> words;
    std::istringstream stream(line);
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

// A usage error, a failed lookup and the like: a status, nothing on standard
// output and one line on standard error.
void ExpectComplaint(const CommandRun &run, int status) {
    EXPECT_EQ(run.exitStatus, status) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, StartsWith("connwalk: "));
    EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
}

TEST(CommandUsage, HelpGoesToStandardOutput) {
    for (const char *option : {"--help", "-h"}) {
        const CommandRun run = RunConnwalk({option});
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_THAT(run.out, StartsWith("Usage: connwalk"));
        EXPECT_THAT(run.out, HasSubstr("Exit status"));
        EXPECT_EQ(run.err, "");
    }
}

TEST(CommandUsage, VersionIsTheProjectVersion) {
    const CommandRun run = RunConnwalk({"--version"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, "connwalk 1.0.0\n");
    EXPECT_EQ(run.err, "");
}

TEST(CommandUsage, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},         {"local", "70000"}, {"local", "abc"},  {"local"},
        {"remote", "-5"},    {"local", "65536"}, {"tcp", "extra"},  {"--raw", "--json"},
        {"udp", "--second"}, {"sideways"},
    };
    for (const std::vector<std::string> &arguments : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        ExpectComplaint(RunConnwalk(arguments), 2);
    }
}

class CommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        listener_ = TcpListener("0.0.0.0");
        port_ = LocalPort(listener_);
        udp_ = UdpSocket("0.0.0.0");
        listenerEndpoint_ = OwnEndpoint(port_, "tcp");
        udpEndpoint_ = OwnEndpoint(LocalPort(udp_), "udp");
    }

    Socket listener_;
    uint16_t port_ = 0;
    Socket udp_;
    std::string listenerEndpoint_;
    std::string udpEndpoint_;
};

TEST_F(CommandTest, LocalLookupPrintsRemoteEndpointAndState) {
    const CommandRun run = RunConnwalk({"local", std::to_string(port_)});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "0.0.0.0:0\tLISTENING\n");
    EXPECT_EQ(run.err, "");
}

TEST_F(CommandTest, SecondMatchIsTheAcceptedConnection) {
    const LoopbackConnection connection = ConnectOverLoopback(listener_);
    const CommandRun run = RunConnwalk({"local", std::to_string(port_), "--second"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "localhost:" + PortText(connection.clientPort, "tcp") + "\tESTABLISHED\n");
}

TEST_F(CommandTest, LookupFormats) {
    const CommandRun raw = RunConnwalk({"--raw", "local", std::to_string(port_)});
    EXPECT_EQ(raw.exitStatus, 0) << raw.err;
    EXPECT_EQ(raw.out, "0.0.0.0:0\nLISTENING\n");

    const CommandRun json = RunConnwalk({"local", std::to_string(port_), "--json"});
    EXPECT_EQ(json.exitStatus, 0) << json.err;
    const std::optional<JsonValue> value = ReadJson(json.out);
    ASSERT_TRUE(value.has_value()) << json.out;
    ASSERT_NE(value->Member("remote"), nullptr);
    ASSERT_NE(value->Member("state"), nullptr);
    EXPECT_EQ(value->Member("remote")->text, "0.0.0.0:0");
    EXPECT_EQ(value->Member("state")->text, "LISTENING");
}

TEST_F(CommandTest, UnusedPortIsNoMatch) {
    const std::string unused = std::to_string(UnusedTcpPort());
    ExpectComplaint(RunConnwalk({"local", unused}), 1);
    ExpectComplaint(RunConnwalk({"remote", unused}), 1);
    ExpectComplaint(RunConnwalk({"local", std::to_string(port_), "--second"}), 1);
}

TEST_F(CommandTest, RawListingsAreTheLibrarysBytes) {
    const std::string record = listenerEndpoint_ + "\r0.0.0.0:0\rLISTENING\\";

    const CommandRun tcp = RunConnwalk({"--raw", "tcp"});
    EXPECT_EQ(tcp.exitStatus, 0) << tcp.err;
    EXPECT_THAT(tcp.out, HasSubstr(record));
    EXPECT_EQ(Lines(tcp.out).size(), 1u);
    EXPECT_THAT(tcp.out, ::testing::EndsWith("\\\n"));

    const CommandRun all = RunConnwalk({"--raw"});
    EXPECT_EQ(all.exitStatus, 0) << all.err;
    const std::vector<std::string> lines = Lines(all.out);
    ASSERT_EQ(lines.size(), 2u) << "the TCP listing, then the UDP listing";
    EXPECT_THAT(lines[0], HasSubstr(record));
    EXPECT_THAT(lines[1], HasSubstr(udpEndpoint_ + "\\"));
}

TEST_F(CommandTest, JsonListsTcpAndUdpRows) {
    const CommandRun run = RunConnwalk({"--json"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    const std::optional<JsonValue> value = ReadJson(run.out);
    ASSERT_TRUE(value.has_value()) << run.out;
    ASSERT_EQ(value->kind, JsonValue::Kind::Array);

    bool listenerSeen = false;
    bool udpSeen = false;
    for (const JsonValue &row : value->items) {
        const JsonValue *protocol = row.Member("protocol");
        const JsonValue *local = row.Member("local");
        const JsonValue *remote = row.Member("remote");
        const JsonValue *state = row.Member("state");
        ASSERT_TRUE(protocol && local && remote && state) << run.out;
        if (protocol->text == "tcp" && local->text == listenerEndpoint_) {
            EXPECT_EQ(remote->text, "0.0.0.0:0");
            EXPECT_EQ(state->text, "LISTENING");
            listenerSeen = true;
        }
        if (protocol->text == "udp" && local->text == udpEndpoint_) {
            EXPECT_EQ(remote->kind, JsonValue::Kind::Null);
            EXPECT_EQ(state->kind, JsonValue::Kind::Null);
            udpSeen = true;
        }
    }
    EXPECT_TRUE(listenerSeen) << run.out;
    EXPECT_TRUE(udpSeen) << run.out;
}

TEST_F(CommandTest, TableHasHeaderAndRows) {
    const CommandRun run = RunConnwalk({});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(Words(lines[0]), (std::vector<std::string>{"Proto", "Local", "Remote", "State"}));

    std::vector<std::vector<std::string>> rows;
    for (size_t i = 1; i < lines.size(); ++i) rows.push_back(Words(lines[i]));
    EXPECT_THAT(rows, Contains(std::vector<std::string>{"tcp", listenerEndpoint_, "0.0.0.0:0",
                                                        "LISTENING"}));
    EXPECT_THAT(rows, Contains(std::vector<std::string>{"udp", udpEndpoint_, "-", "-"}));

    // Columns line up: every row's remote column starts where the header's does.
    const size_t remoteColumn = lines[0].find("Remote");
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].find_first_not_of(' ', remoteColumn), remoteColumn) << lines[i];
        EXPECT_EQ(lines[i][remoteColumn - 1], ' ') << lines[i];
    }
}

TEST_F(CommandTest, SingleTablesKeepToTheirProtocol) {
    for (const char *table : {"tcp", "udp"}) {
        const CommandRun run = RunConnwalk({table});
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        const std::vector<std::string> lines = Lines(run.out);
        for (size_t i = 1; i < lines.size(); ++i) {
            EXPECT_EQ(Words(lines[i]).front(), table) << lines[i];
        }
        EXPECT_GT(lines.size(), 1u);
    }
}

}  // namespace
}  // namespace connwalk::testing
