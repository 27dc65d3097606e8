// Reading the command line, usage errors included.
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "arguments.h"

namespace connwalk_cli {
namespace {

std::vector<std::string_view> Words(std::initializer_list<std::string_view> words) {
    return words;
}

TEST(ParsePort, AcceptsDecimalPortsOnly) {
    EXPECT_EQ(ParsePort("0"), 0);
    EXPECT_EQ(ParsePort("21"), 21);
    EXPECT_EQ(ParsePort("0080"), 80);
    EXPECT_EQ(ParsePort("65535"), 65535);
    for (const std::string_view bad :
         {"", "65536", "70000", "99999999999999999999", "-1", "+1", "abc", "12a", " 1", "1 ",
          "0x10", "1.0"}) {
        EXPECT_EQ(ParsePort(bad), std::nullopt) << bad;
    }
}

struct ListCase {
    std::vector<std::string_view> arguments;
    Tables tables;
    Format format;
};

TEST(ParseArguments, ListingCommands) {
    const std::vector<ListCase> cases = {
        {{}, Tables::All, Format::Table},
        {{"all"}, Tables::All, Format::Table},
        {{"tcp"}, Tables::Tcp, Format::Table},
        {{"udp", "--raw"}, Tables::Udp, Format::Raw},
        {{"--json", "tcp"}, Tables::Tcp, Format::Json},
        {{"--raw"}, Tables::All, Format::Raw},
    };
    for (const ListCase &c : cases) {
        const ParsedArguments parsed = ParseArguments(c.arguments);
        ASSERT_TRUE(parsed.invocation.has_value()) << parsed.error;
        EXPECT_EQ(parsed.invocation->action, Action::List);
        EXPECT_EQ(parsed.invocation->tables, c.tables);
        EXPECT_EQ(parsed.invocation->format, c.format);
    }
}

TEST(ParseArguments, Lookups) {
    ParsedArguments parsed = ParseArguments(Words({"local", "21"}));
    ASSERT_TRUE(parsed.invocation.has_value()) << parsed.error;
    EXPECT_EQ(parsed.invocation->action, Action::Lookup);
    EXPECT_EQ(parsed.invocation->side, LookupSide::Local);
    EXPECT_EQ(parsed.invocation->port, 21);
    EXPECT_FALSE(parsed.invocation->second);

    parsed = ParseArguments(Words({"--second", "remote", "65535", "--json"}));
    ASSERT_TRUE(parsed.invocation.has_value()) << parsed.error;
    EXPECT_EQ(parsed.invocation->side, LookupSide::Remote);
    EXPECT_EQ(parsed.invocation->port, 65535);
    EXPECT_TRUE(parsed.invocation->second);
    EXPECT_EQ(parsed.invocation->format, Format::Json);
}

TEST(ParseArguments, HelpAndVersionWinOverWhatFollows) {
    EXPECT_EQ(ParseArguments(Words({"--help"})).invocation->action, Action::ShowHelp);
    EXPECT_EQ(ParseArguments(Words({"-h"})).invocation->action, Action::ShowHelp);
    EXPECT_EQ(ParseArguments(Words({"local", "x", "--help"})).invocation->action,
              Action::ShowHelp);
    EXPECT_EQ(ParseArguments(Words({"--version", "--bogus"})).invocation->action,
              Action::ShowVersion);
    EXPECT_FALSE(ParseArguments(Words({"--bogus", "--help"})).invocation.has_value());
}

TEST(ParseArguments, UsageErrors) {
    const std::vector<std::vector<std::string_view>> cases = {
        {"--bogus"},          {"-x"},
        {"list"},             {"tcp", "udp"},
        {"local"},            {"remote"},
        {"local", "abc"},     {"local", "70000"},
        {"local", "-1"},      {"local", "21", "22"},
        {"--second"},         {"tcp", "--second"},
        {"--raw", "--json"},  {"local", ""},
    };
    for (const std::vector<std::string_view> &arguments : cases) {
        const ParsedArguments parsed = ParseArguments(arguments);
        EXPECT_FALSE(parsed.invocation.has_value()) << ::testing::PrintToString(arguments);
        EXPECT_FALSE(parsed.error.empty());
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos);
    }
}

}  // namespace
}  // namespace connwalk_cli
