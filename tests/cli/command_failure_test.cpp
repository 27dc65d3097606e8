// The command's answers to each way the library can fail, played by a fake
// library preloaded in place of the real one: exit statuses 3 and 4, and the
// telling apart of an empty table, no match and an agent that did not start.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run_command.h"

#ifndef CONNWALK_FAKE_LIBRARY_PATH
#error "CONNWALK_FAKE_LIBRARY_PATH must name the fake library"
#endif

namespace connwalk::testing {
namespace {

using ::testing::StartsWith;

CommandRun RunWithFake(const char *mode, const std::vector<std::string> &arguments) {
    return RunConnwalk(arguments, {std::string("LD_PRELOAD=") + CONNWALK_FAKE_LIBRARY_PATH,
                                   std::string("CONNWALK_FAKE=") + mode});
}

struct FailureCase {
    const char *mode;
    std::vector<std::string> arguments;
    int exitStatus;
};

TEST(CommandFailures, EachFailureHasItsExitStatus) {
    const std::vector<FailureCase> cases = {
        {"no-agent", {}, 3},
        {"no-agent", {"udp"}, 3},
        {"no-agent", {"--json", "tcp"}, 3},
        {"no-agent", {"local", "21"}, 3},
        {"no-agent", {"remote", "21", "--second"}, 3},
        {"query-fails", {}, 4},
        {"query-fails", {"--raw", "tcp"}, 4},
        {"query-fails", {"local", "21"}, 4},
        {"query-fails", {"remote", "21"}, 4},
        {"udp-fails", {}, 4},
        {"udp-fails", {"udp"}, 4},
        {"empty", {"local", "21"}, 1},
        {"empty", {"remote", "21", "--second"}, 1},
    };
    for (const FailureCase &c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + ::testing::PrintToString(c.arguments));
        const CommandRun run = RunWithFake(c.mode, c.arguments);
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
        EXPECT_EQ(run.out, "") << "nothing is printed when a table is incomplete";
        EXPECT_THAT(run.err, StartsWith("connwalk: "));
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    }
}

TEST(CommandFailures, TcpAloneSucceedsWhenOnlyUdpFails) {
    const CommandRun run = RunWithFake("udp-fails", {"tcp"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
}

struct OutputCase {
    const char *mode;
    std::vector<std::string> arguments;
    std::string out;
};

TEST(CommandOutput, MatchesGoldenText) {
    const std::vector<OutputCase> cases = {
        {"empty", {}, "Proto  Local  Remote  State\n"},
        {"empty", {"--json"}, "[]\n"},
        {"empty", {"--raw"}, "\n\n"},
        {"empty", {"--raw", "udp"}, "\n"},
        {"rows",
         {},
         "Proto  Local      Remote          State\n"
         "tcp    vm:ftp     0.0.0.0:0       LISTENING\n"
         "tcp    vm:40000   localhost:ftp   ESTABLISHED\n"
         "tcp    vm:?[2J    192.0.2.7:smtp  CLOSE_WAIT\n"
         "udp    vm:domain  -               -\n"},
        {"rows",
         {"udp"},
         "Proto  Local      Remote  State\n"
         "udp    vm:domain  -       -\n"},
        {"rows",
         {"--raw", "tcp"},
         "vm:ftp\r0.0.0.0:0\rLISTENING\\vm:40000\rlocalhost:ftp\rESTABLISHED\\"
         "vm:\x1B[2J\r192.0.2.7:smtp\rCLOSE_WAIT\\\n"},
        {"rows",
         {"--json"},
         "[\n"
         R"(  {"protocol":"tcp","local":"vm:ftp","remote":"0.0.0.0:0","state":"LISTENING"},)"
         "\n"
         R"(  {"protocol":"tcp","local":"vm:40000","remote":"localhost:ftp","state":"ESTABLISHED"},)"
         "\n"
         R"(  {"protocol":"tcp","local":"vm:\u001b[2J","remote":"192.0.2.7:smtp","state":"CLOSE_WAIT"},)"
         "\n"
         R"(  {"protocol":"udp","local":"vm:domain","remote":null,"state":null})"
         "\n]\n"},
        {"rows", {"remote", "25"}, "192.0.2.7:smtp\tESTABLISHED\n"},
        {"rows", {"--raw", "local", "25"}, "192.0.2.7:smtp\nESTABLISHED\n"},
        {"rows", {"--json", "local", "25"}, "{\"remote\":\"192.0.2.7:smtp\",\"state\":\"ESTABLISHED\"}\n"},
    };
    for (const OutputCase &c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + ::testing::PrintToString(c.arguments));
        const CommandRun run = RunWithFake(c.mode, c.arguments);
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
    }
}

}  // namespace
}  // namespace connwalk::testing
