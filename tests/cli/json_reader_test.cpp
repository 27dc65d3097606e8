// The tests' JSON reader must turn away what is not JSON, or the checks of
// the command's --json output would prove nothing.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json_reader.h"

namespace connwalk::testing {
namespace {

TEST(JsonReader, ReadsValuesAndDecodesEscapes) {
    const std::optional<JsonValue> value =
        ReadJson(R"( [ {"a": "x\u00e9\"\\\ud83d\ude00", "b": null, "c": [true, -1.5e3]} ] )");
    ASSERT_TRUE(value.has_value());
    ASSERT_EQ(value->items.size(), 1u);
    const JsonValue &object = value->items[0];
    EXPECT_EQ(object.Member("a")->text, "x\xC3\xA9\"\\\xF0\x9F\x98\x80");
    EXPECT_EQ(object.Member("b")->kind, JsonValue::Kind::Null);
    EXPECT_EQ(object.Member("c")->items.size(), 2u);
    EXPECT_EQ(object.Member("missing"), nullptr);
}

TEST(JsonReader, RefusesWhatIsNotJson) {
    const std::vector<std::string> texts = {
        "",          "[",          "[1,]",         "{\"a\"}",       "{\"a\":1,}",
        "\"a\nb\"",  "\"\\x41\"",  "\"\\ud800\"",  "\"\xFF\"",      "\"\xC0\xAF\"",
        "[] []",     "nul",        "01",           "\"\xED\xA0\x80\"", "'a'",
    };
    for (const std::string &text : texts) {
        EXPECT_FALSE(ReadJson(text).has_value()) << ::testing::PrintToString(text);
    }
}

}  // namespace
}  // namespace connwalk::testing
