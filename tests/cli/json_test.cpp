// JSON output: any bytes a name may hold still give valid JSON.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json.h"
#include "records.h"

namespace connwalk_cli {
namespace {

struct EscapeCase {
    std::string bytes;
    std::string json;
};

TEST(JsonString, EscapesWhatJsonForbidsAndKeepsTheRest) {
    const std::vector<EscapeCase> cases = {
        {"", R"("")"},
        {"vm:ftp", R"("vm:ftp")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"a\\b", R"("a\\b")"},
        {"\r\n\t", R"("\u000d\u000a\u0009")"},
        {std::string("a\0b", 3), R"("a\u0000b")"},
        {"\x1F\x7F", R"("\u001f\u007f")"},
        {"/", R"("/")"},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
        {"\xE2\x82\xAC", "\"\xE2\x82\xAC\""},
        {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
        // Ill-formed UTF-8: one replacement per maximal piece.
        {"\xFF", R"("\ufffd")"},
        {"a\x80z", R"("a\ufffdz")"},
        {"\xE2\x82z", R"("\ufffdz")"},
        {"\xC0\xAF", R"("\ufffd\ufffd")"},
        {"\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")"},
        {"\xF4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},
        {"\xC3", R"("\ufffd")"},
    };
    for (const EscapeCase &c : cases) {
        EXPECT_EQ(JsonString(c.bytes), c.json) << ::testing::PrintToString(c.bytes);
    }
}

TEST(FormatJson, OneObjectPerConnectionWithNullsForUdp) {
    const std::vector<Connection> connections = {
        {Protocol::Tcp, "vm:ftp", "0.0.0.0:0", "LISTENING"},
        {Protocol::Udp, "vm:domain", {}, {}},
    };
    EXPECT_EQ(FormatJson(connections),
              "[\n"
              R"(  {"protocol":"tcp","local":"vm:ftp","remote":"0.0.0.0:0","state":"LISTENING"},)"
              "\n"
              R"(  {"protocol":"udp","local":"vm:domain","remote":null,"state":null})"
              "\n]\n");
}

TEST(FormatJson, EmptyTableIsAnEmptyArray) { EXPECT_EQ(FormatJson({}), "[]\n"); }

TEST(FormatJson, FieldsAreEscaped) {
    const std::vector<Connection> connections = {{Protocol::Tcp, "a\"b:1", "c\\d:2", "X\r"}};
    EXPECT_EQ(FormatJson(connections),
              "[\n"
              R"(  {"protocol":"tcp","local":"a\"b:1","remote":"c\\d:2","state":"X\u000d"})"
              "\n]\n");
}

TEST(FormatPortInfoJson, OneObject) {
    EXPECT_EQ(FormatPortInfoJson("localhost:ftp", "ESTABLISHED"),
              "{\"remote\":\"localhost:ftp\",\"state\":\"ESTABLISHED\"}\n");
}

}  // namespace
}  // namespace connwalk_cli
