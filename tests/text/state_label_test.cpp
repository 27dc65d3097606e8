#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>

#include "text/texts.h"

namespace connwalk {
namespace {

struct LabelCase {
    int32_t code;
    const char *label;
    friend std::ostream &operator<<(std::ostream &os, const LabelCase &c) { return os << c.code; }
};

class StateLabelTable : public ::testing::TestWithParam<LabelCase> {};

TEST_P(StateLabelTable, LabelOfCode) {
    const LabelCase &c = GetParam();
    const char *label = StateLabel(c.code);
    ASSERT_NE(label, nullptr);
    EXPECT_STREQ(label, c.label);
    EXPECT_LT(std::strlen(label), kStateLabelSize);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StateLabelTable,
    ::testing::Values(LabelCase{0, "???"}, LabelCase{1, "CLOSED"}, LabelCase{2, "LISTENING"},
                      LabelCase{3, "SYN_SENT"}, LabelCase{4, "SEN_RECEIVED"},
                      LabelCase{5, "ESTABLISHED"}, LabelCase{6, "FIN_WAIT"},
                      LabelCase{7, "FIN_WAIT2"}, LabelCase{8, "CLOSE_WAIT"},
                      LabelCase{9, "CLOSING"}, LabelCase{10, "LAST_ACK"},
                      LabelCase{11, "TIME_WAIT"}, LabelCase{12, "DELETE_TCB"}));

INSTANTIATE_TEST_SUITE_P(
    OutsideTheTable, StateLabelTable,
    ::testing::Values(LabelCase{-1, "???"}, LabelCase{13, "???"}, LabelCase{256, "???"},
                      LabelCase{std::numeric_limits<int32_t>::min(), "???"},
                      LabelCase{std::numeric_limits<int32_t>::max(), "???"}));

}  // namespace
}  // namespace connwalk
