// The 64-bit connwalk.dll at work under wine: loaded by a Windows program
// (the probe), driving a scripted agent that stands in for inetmib1.dll, and
// driving wine's own inetmib1.dll. Each case runs the probe once with the
// commands it needs and reads its report (see programs/probe.cpp).
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace connwalk::testing {
namespace {

const std::string kRunDirectory = CONNWALK_WINDOWS_DIR "/programs/run";
const std::string kInitOnlyRunDirectory = CONNWALK_WINDOWS_DIR "/programs/run-init-only";

// Which inetmib1.dll the agent start finds: the scripted one beside the
// probe, wine's own, or none at all.
const std::string kScriptedAgent = "inetmib1=n";
const std::string kWineAgent = "inetmib1=b";
const std::string kNoAgent = "inetmib1=";

using Block = std::map<std::string, std::string>;

struct ProbeRun {
    int status = -1;
    std::vector<Block> blocks;  // one per command, in order
    std::string output;
};

std::string Unescape(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
        } else if (text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i + 1] == 'x' && i + 3 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        }
    }
    return out;
}

std::string Quote(const std::string &text) { return "'" + text + "'"; }

ProbeRun RunProbe(const std::string &directory, const std::string &overrides, const std::string &agentMode,
                  const std::vector<std::string> &commands) {
    std::string command = "cd " + Quote(directory) + " && env -u DISPLAY WINEPREFIX=" +
                          Quote(CONNWALK_WINE_PREFIX) + " WINEDEBUG=-all WINEDLLOVERRIDES=" + Quote(overrides) +
                          " CONNWALK_SCRIPTED_AGENT=" + Quote(agentMode) + " " + Quote(CONNWALK_WINE) +
                          " probe.exe";
    for (const std::string &argument : commands) {
        command += " " + Quote(argument);
    }
    command += " 2>&1";

    ProbeRun run;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        run.output.append(chunk, got);
    }
    run.status = pclose(pipe);

    std::istringstream lines(run.output);
    std::string line;
    Block block;
    bool inBlock = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();  // the console's line ends
        }
        if (line == "end") {
            run.blocks.push_back(block);
            block.clear();
            inBlock = false;
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;  // wine's own messages
        }
        const std::string key = line.substr(0, equals);
        if (key == "command") {
            inBlock = true;
        }
        if (inBlock) {
            block[key] = Unescape(line.substr(equals + 1));
        }
    }
    return run;
}

// Runs the probe and checks that it ran every command to its end.
ProbeRun Probe(const std::string &directory, const std::string &overrides, const std::string &agentMode,
               const std::vector<std::string> &commands) {
    ProbeRun run = RunProbe(directory, overrides, agentMode, commands);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.blocks.size(), commands.size()) << run.output;
    run.blocks.resize(commands.size());
    return run;
}

long Number(const Block &block, const std::string &key) {
    const auto found = block.find(key);
    return found == block.end() ? -1 : std::strtol(found->second.c_str(), nullptr, 10);
}

std::string Text(const Block &block, const std::string &key) {
    const auto found = block.find(key);
    return found == block.end() ? "<none>" : found->second;
}

// Every area the probe handed over still has its guard; the probe reports
// one "_guard" per area.
void ExpectGuardsIntact(const Block &block) {
    for (const auto &[key, value] : block) {
        if (key.size() > 6 && key.compare(key.size() - 6, 6, "_guard") == 0) {
            EXPECT_EQ(value, "1") << key << " overwritten in " << Text(block, "command");
        }
    }
}

void ExpectUntouched(const Block &block, long result) {
    SCOPED_TRACE(Text(block, "command"));
    EXPECT_EQ(Number(block, "result"), result);
    for (const char *area : {"text", "endpoint", "state"}) {
        if (block.count(std::string(area) + "_untouched") != 0) {
            EXPECT_EQ(Number(block, std::string(area) + "_untouched"), 1) << area << " was written";
        }
    }
    ExpectGuardsIntact(block);
}

void ExpectListing(const Block &block, const std::string &listing) {
    SCOPED_TRACE(Text(block, "command"));
    EXPECT_EQ(Text(block, "text"), listing);
    EXPECT_EQ(Number(block, "result"), static_cast<long>(listing.size()));
    ExpectGuardsIntact(block);
}

void ExpectFound(const Block &block, const std::string &endpoint, const std::string &state) {
    SCOPED_TRACE(Text(block, "command"));
    EXPECT_EQ(Number(block, "result"), 1);
    EXPECT_EQ(Text(block, "endpoint"), endpoint);
    EXPECT_EQ(Text(block, "state"), state);
    ExpectGuardsIntact(block);
}

// The scripted agent's table (programs/scripted_agent.cpp) as the listings
// show it on a machine called `host`, with wine's service database: 21 ftp,
// 25 smtp and 53 domain under tcp, 53 domain and 69 tftp under udp, and
// nothing for 1500 or 40000. 192.0.2.0/24 is for documentation and has no
// reverse entries.
std::string TcpListing(const std::string &host) {
    return host + ":ftp\r0.0.0.0:0\rLISTENING\\" + host + ":ftp\rlocalhost:1500\rESTABLISHED\\" + host +
           ":1500\rlocalhost:ftp\rESTABLISHED\\" + "192.0.2.1:40000\r192.0.2.7:smtp\rESTABLISHED\\";
}

std::string UdpListing(const std::string &host) { return host + ":domain\\" + host + ":tftp\\"; }

constexpr long kTcpQueries = 5 * 4 + 1;  // five columns of four rows, and the one past the table
constexpr long kUdpQueries = 2 * 2 + 1;

TEST(WineScriptedAgent, ExportsResolveByNameAndByOrdinal) {
    const ProbeRun run = Probe(kRunDirectory, kScriptedAgent, "", {"exports"});
    const Block &exports = run.blocks[0];
    for (const char *name : {"GetTCPEndpoints", "GetTCPLocalPortInfo", "GetTCPRemotePortInfo", "GetUDPEndpoints"}) {
        EXPECT_EQ(Number(exports, std::string("byname.") + name), 1) << name;
        EXPECT_EQ(Number(exports, std::string("same.") + name), 1) << name << " differs from its ordinal";
    }
    EXPECT_EQ(Number(exports, "ordinal5"), 0);
    EXPECT_EQ(Number(exports, "dllmain"), 0);
}

TEST(WineScriptedAgent, ListingsShowTheAgentsTables) {
    const ProbeRun run = Probe(kRunDirectory, kScriptedAgent, "", {"hostname", "tcp", "udp"});
    const std::string host = Text(run.blocks[0], "hostname");
    ASSERT_NE(host, "<none>") << run.output;
    ExpectListing(run.blocks[1], TcpListing(host));
    ExpectListing(run.blocks[2], UdpListing(host));
}

TEST(WineScriptedAgent, LookupsFindConnectionsByPort) {
    struct Case {
        const char *command;
        long result;
        const char *endpoint;  // null: outputs untouched
        const char *state;
    };
    const Case cases[] = {
        {"local:21:0", 1, "0.0.0.0:0", "LISTENING"},
        {"local:21:1", 1, "localhost:1500", "ESTABLISHED"},
        {"local:1500:0", 1, "localhost:ftp", "ESTABLISHED"},
        {"local:1500:1", 0, nullptr, nullptr},
        {"remote:21:0", 1, "localhost:ftp", "ESTABLISHED"},
        {"remote:25:0", 1, "192.0.2.7:smtp", "ESTABLISHED"},
        {"remote:25:7", 0, nullptr, nullptr},
        {"remote:0:0", 1, "0.0.0.0:0", "LISTENING"},
        {"local:9999:0", 0, nullptr, nullptr},
        {"local:-65515:0", 0, nullptr, nullptr},  // 21 in its low 16 bits only
    };
    std::vector<std::string> commands;
    for (const Case &c : cases) {
        commands.push_back(c.command);
    }
    const ProbeRun run = Probe(kRunDirectory, kScriptedAgent, "", commands);
    for (size_t i = 0; i < std::size(cases); ++i) {
        if (cases[i].endpoint == nullptr) {
            ExpectUntouched(run.blocks[i], cases[i].result);
        } else {
            ExpectFound(run.blocks[i], cases[i].endpoint, cases[i].state);
        }
    }
}

TEST(WineScriptedAgent, EmptyTablesGiveEmptyListings) {
    const ProbeRun run = Probe(kRunDirectory, kScriptedAgent, "empty", {"tcp", "udp", "local:21:0"});
    ExpectListing(run.blocks[0], "");
    ExpectListing(run.blocks[1], "");
    ExpectUntouched(run.blocks[2], 0);
}

// A query that fails anywhere in the walk, the first, one inside the table
// or the one that leaves it, fails the call with 1 and writes nothing.
TEST(WineScriptedAgent, FailedQueryLeavesOutputsUntouched) {
    for (long failing : {0L, kUdpQueries - 1, kTcpQueries - 1}) {
        SCOPED_TRACE("query " + std::to_string(failing) + " fails");
        const ProbeRun run = Probe(kRunDirectory, kScriptedAgent, "fail-query=" + std::to_string(failing),
                                   {"hostname", "tcp", "local:21:0", "remote:25:0", "udp"});
        ExpectUntouched(run.blocks[1], 1);
        ExpectUntouched(run.blocks[2], 1);
        ExpectUntouched(run.blocks[3], 1);
        if (failing < kUdpQueries) {
            ExpectUntouched(run.blocks[4], 1);
        } else {
            ExpectListing(run.blocks[4], UdpListing(Text(run.blocks[0], "hostname")));
        }
    }
}

// A start that fails at any step leaves every output untouched with 0, and
// gives back what it took: the agent is unloaded as often as it was loaded.
TEST(WineScriptedAgent, FailedStartLeavesOutputsUntouched) {
    struct Case {
        const char *what;
        const std::string &directory;
        const std::string &overrides;
        const char *mode;
        long inits;
    };
    const Case cases[] = {
        {"no inetmib1.dll", kRunDirectory, kNoAgent, "", 0},
        {"no SnmpExtensionQuery", kInitOnlyRunDirectory, kScriptedAgent, "", 0},
        {"SnmpExtensionInit fails", kRunDirectory, kScriptedAgent, "fail-init", 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const ProbeRun run =
            Probe(c.directory, c.overrides, c.mode, {"tcp", "udp", "local:21:0", "remote:25:0", "agent"});
        for (size_t i = 0; i < 4; ++i) {
            ExpectUntouched(run.blocks[i], 0);
        }
        const Block &agent = run.blocks[4];
        EXPECT_EQ(Number(agent, "CWAGENT_INITS"), c.inits);
        EXPECT_EQ(Number(agent, "CWAGENT_ATTACHES"), Number(agent, "CWAGENT_DETACHES"));
    }
}

// What the SNMP service promises an extension agent: one GETNEXT binding
// per request, request names it may free, a trap-event slot holding a
// manual-reset event; and the library gives back its loads and its event.
TEST(WineScriptedAgent, IsDrivenAsTheSnmpServiceDrivesIt) {
    const ProbeRun run = Probe(kRunDirectory, kScriptedAgent, "", {"tcp", "udp", "agent"});
    const Block &agent = run.blocks[2];
    EXPECT_EQ(Number(agent, "CWAGENT_INITS"), 2);
    EXPECT_EQ(Number(agent, "CWAGENT_BAD_INITS"), 0);
    EXPECT_EQ(Number(agent, "CWAGENT_QUERIES"), kTcpQueries + kUdpQueries);
    EXPECT_EQ(Number(agent, "CWAGENT_BAD_REQUESTS"), 0);
    EXPECT_EQ(Number(agent, "CWAGENT_FOREIGN_NAMES"), 0) << "a request name the agent could not free";
    EXPECT_EQ(Number(agent, "CWAGENT_TRAP_EVENT_OK"), 1);
    EXPECT_EQ(Number(agent, "trap_event_open"), 0) << "the library's trap event was not closed";
    EXPECT_EQ(Number(agent, "CWAGENT_ATTACHES"), 2);
    EXPECT_EQ(Number(agent, "CWAGENT_DETACHES"), 2);
}

TEST(WineScriptedAgent, TrapEventOfTheAgentsOwnIsLeftToTheAgent) {
    const ProbeRun run = Probe(kRunDirectory, kScriptedAgent, "own-trap-event", {"tcp", "agent"});
    EXPECT_GE(Number(run.blocks[0], "result"), 3);
    EXPECT_EQ(Number(run.blocks[1], "own_event_open"), 1);
    EXPECT_EQ(Number(run.blocks[1], "trap_event_open"), 0);
}

// Nothing carries over from one call to the next: the same table gives the
// same listing every time.
TEST(WineScriptedAgent, RepeatedCallsGiveTheSameListings) {
    std::vector<std::string> commands{"hostname"};
    for (int i = 0; i < 20; ++i) {
        commands.push_back(i % 2 == 0 ? "tcp" : "udp");
    }
    commands.push_back("agent");
    const ProbeRun run = Probe(kRunDirectory, kScriptedAgent, "", commands);
    const std::string host = Text(run.blocks[0], "hostname");
    for (size_t i = 1; i + 1 < commands.size(); ++i) {
        ExpectListing(run.blocks[i], commands[i] == "tcp" ? TcpListing(host) : UdpListing(host));
    }
    EXPECT_EQ(Number(run.blocks.back(), "CWAGENT_DETACHES"), 20);
}

// Every call gives back what it took from the system: after a warm-up, a
// loop of calls leaves the process with as many handles as before.
TEST(WineScriptedAgent, LoopOfCallsKeepsTheHandleCountFlat) {
    const ProbeRun run =
        Probe(kRunDirectory, kScriptedAgent, "", {"loop:10", "handles", "loop:50", "handles"});
    ASSERT_EQ(run.blocks.size(), 4U);
    EXPECT_EQ(Number(run.blocks[0], "loop_failures"), 0);
    EXPECT_EQ(Number(run.blocks[2], "loop_failures"), 0);
    const long before = Number(run.blocks[1], "handles");
    const long after = Number(run.blocks[3], "handles");
    std::printf("handles: %ld before, %ld after 50 rounds of the four calls\n", before, after);
    EXPECT_GT(before, 0);
    EXPECT_EQ(after, before);
}

// Wine's agent answers in its own way (no tcpConnTable, names of 8
// sub-identifiers past a table, error statuses with a jump past it); what
// it yields may vary, but every call must end within the contract.
void ExpectListingWithinContract(const Block &block) {
    SCOPED_TRACE(Text(block, "command"));
    ExpectGuardsIntact(block);
    const long result = Number(block, "result");
    if (result == 1) {
        EXPECT_EQ(Number(block, "text_untouched"), 1);
        return;
    }
    if (result == 0 && Number(block, "text_untouched") == 1) {
        return;  // the agent could not be started
    }
    ASSERT_TRUE(result == 0 || result >= 3) << "result " << result;
    ASSERT_EQ(Number(block, "text_terminated"), 1);
    const std::string text = Text(block, "text");
    EXPECT_EQ(static_cast<long>(text.size()), result);
    EXPECT_LT(text.size(), 100000U);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    if (!text.empty()) {
        EXPECT_EQ(text.back(), '\\');
    }
}

void ExpectLookupWithinContract(const Block &block) {
    SCOPED_TRACE(Text(block, "command"));
    ExpectGuardsIntact(block);
    const long result = Number(block, "result");
    ASSERT_TRUE(result == 0 || result == 1) << "result " << result;
    const bool untouched = Number(block, "endpoint_untouched") == 1 && Number(block, "state_untouched") == 1;
    if (result == 0 || untouched) {
        EXPECT_TRUE(untouched);
        return;
    }
    const std::set<std::string> labels = {"???",        "CLOSED",  "LISTENING", "SYN_SENT",  "SEN_RECEIVED",
                                          "ESTABLISHED", "FIN_WAIT", "FIN_WAIT2", "CLOSE_WAIT", "CLOSING",
                                          "LAST_ACK",    "TIME_WAIT", "DELETE_TCB"};
    EXPECT_EQ(labels.count(Text(block, "state")), 1U) << Text(block, "state");
    EXPECT_NE(Text(block, "endpoint").find(':'), std::string::npos);
}

TEST(WineOwnAgent, EveryFunctionEndsWithinTheContract) {
    const std::vector<std::string> commands = {"tcp",        "udp",         "local:21:0", "local:21:1",
                                               "remote:0:0", "remote:80:0", "tcp",        "udp"};
    const ProbeRun run = Probe(kRunDirectory, kWineAgent, "", commands);
    for (size_t i = 0; i < commands.size(); ++i) {
        if (commands[i] == "tcp" || commands[i] == "udp") {
            ExpectListingWithinContract(run.blocks[i]);
        } else {
            ExpectLookupWithinContract(run.blocks[i]);
        }
    }
}

}  // namespace
}  // namespace connwalk::testing
