#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

#include "support/fake_names.h"
#include "text/guarded_area.h"
#include "text/texts.h"

namespace connwalk {
namespace {

using testing::ExampleNames;
using testing::FakeNames;
using testing::GuardedArea;

std::string Port(FakeNames &names, int32_t port, const char *protocol) {
    const NameService service = names.Service();
    Naming naming(service);
    GuardedArea<kNameTextSize> out;
    PortText(naming, port, protocol, out.Area());
    EXPECT_TRUE(out.GuardIntact());
    return out.Text();
}

struct PortCase {
    int32_t port;
    const char *protocol;
    const char *text;
    friend std::ostream &operator<<(std::ostream &os, const PortCase &c) {
        return os << c.port << "/" << c.protocol;
    }
};

class PortTextTable : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortTextTable, NameOrSignedDecimal) {
    FakeNames names = ExampleNames();
    names.services[{512, "tcp"}] = "exec";
    names.services[{512, "udp"}] = "biff";
    names.services[{7, "tcp"}] = "\xC3\xA9\\\r odd";
    names.services[{9, "tcp"}] = "";
    const PortCase &c = GetParam();
    EXPECT_EQ(Port(names, c.port, c.protocol), c.text);
    EXPECT_EQ(names.serviceCalls, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, PortTextTable,
    ::testing::Values(PortCase{21, "tcp", "ftp"}, PortCase{25, "tcp", "smtp"},
                      PortCase{53, "udp", "domain"}, PortCase{80, "tcp", "http"},
                      // The same number names different services per protocol.
                      PortCase{512, "tcp", "exec"}, PortCase{512, "udp", "biff"},
                      PortCase{80, "udp", "80"}, PortCase{21, "udp", "21"},
                      PortCase{4711, "tcp", "4711"}, PortCase{0, "tcp", "0"},
                      PortCase{65535, "udp", "65535"},
                      // Beyond 16 bits and below zero the whole value is shown.
                      PortCase{65557, "tcp", "65557"}, PortCase{-5, "tcp", "-5"},
                      PortCase{-1, "udp", "-1"},
                      PortCase{std::numeric_limits<int32_t>::min(), "tcp", "-2147483648"},
                      PortCase{std::numeric_limits<int32_t>::max(), "tcp", "2147483647"},
                      // Names pass through as they are; an empty one is no name.
                      PortCase{7, "tcp", "\xC3\xA9\\\r odd"}, PortCase{9, "tcp", "9"}));

TEST(PortText, LongNameIsCutAtTheAreaEnd) {
    FakeNames names;
    names.services[{8080, "tcp"}] = std::string(300, 'n');
    const NameService service = names.Service();
    Naming naming(service);
    GuardedArea<kNameTextSize> out;
    PortText(naming, 8080, "tcp", out.Area());
    EXPECT_EQ(out.Text(), std::string(255, 'n'));
    EXPECT_EQ(out.bytes[255], '\0');
    EXPECT_TRUE(out.GuardIntact());
}

TEST(PortText, NameOfExactlyTheAreaFits) {
    FakeNames names;
    names.services[{8080, "tcp"}] = std::string(255, 'n');
    EXPECT_EQ(Port(names, 8080, "tcp"), std::string(255, 'n'));
}

TEST(PortText, EachPortAndProtocolIsAskedOncePerCall) {
    FakeNames names = ExampleNames();
    const NameService service = names.Service();
    Naming naming(service);
    char out[kNameTextSize];
    for (int round = 0; round < 1000; ++round) {
        PortText(naming, 21, "tcp", out);
        ASSERT_STREQ(out, "ftp");
        PortText(naming, 53, "udp", out);
        ASSERT_STREQ(out, "domain");
        PortText(naming, 4711, "tcp", out);  // misses are remembered too
        ASSERT_STREQ(out, "4711");
        PortText(naming, 21, "udp", out);
        ASSERT_STREQ(out, "21");
    }
    EXPECT_EQ(names.serviceCalls, 4);
}

TEST(PortText, NothingIsRememberedBetweenCalls) {
    FakeNames names = ExampleNames();
    EXPECT_EQ(Port(names, 21, "tcp"), "ftp");
    names.services[{21, "tcp"}] = "renamed";
    EXPECT_EQ(Port(names, 21, "tcp"), "renamed");
    EXPECT_EQ(names.serviceCalls, 2);
}

// Where the service can list its database, one reading serves the call.

const std::string kCutName(kNameTextSize - 1, 'n');

FakeNames ListedNames() {
    FakeNames names;
    names.listsDatabase = true;
    names.database = {{21, "tcp", "ftp"},     {22, "tcp", "ssh"},   {22, "tcp", "ssh-alias"},
                      {25, "tcp", "smtp"},    {53, "udp", "domain"}, {512, "tcp", "exec"},
                      {512, "udp", "biff"},   {7, "tcp", "\xC3\xA9\\\r odd"}, {9, "tcp", ""},
                      {9, "tcp", "later"},    {8080, "tcp", std::string(300, 'n')}};
    return names;
}

class ListedPortTextTable : public ::testing::TestWithParam<PortCase> {};

TEST_P(ListedPortTextTable, NameFromTheReadingOrSignedDecimal) {
    FakeNames names = ListedNames();
    const PortCase &c = GetParam();
    EXPECT_EQ(Port(names, c.port, c.protocol), c.text);
    EXPECT_EQ(names.listingCalls, 1);
    EXPECT_EQ(names.serviceCalls, 0) << "no port-by-port look-up once the database is read";
}

INSTANTIATE_TEST_SUITE_P(
    Listed, ListedPortTextTable,
    ::testing::Values(PortCase{21, "tcp", "ftp"}, PortCase{25, "tcp", "smtp"},
                      PortCase{53, "udp", "domain"}, PortCase{512, "tcp", "exec"},
                      PortCase{512, "udp", "biff"}, PortCase{21, "udp", "21"},
                      PortCase{4711, "tcp", "4711"}, PortCase{0, "tcp", "0"},
                      // The first entry of a port is its name, as a look-up finds it.
                      PortCase{22, "tcp", "ssh"},
                      // As with a look-up by port, the low 16 bits name the service
                      // and a port without a name shows its whole value.
                      PortCase{21 + 65536, "tcp", "ftp"}, PortCase{-1, "udp", "-1"},
                      PortCase{std::numeric_limits<int32_t>::min(), "tcp", "-2147483648"},
                      PortCase{7, "tcp", "\xC3\xA9\\\r odd"}, PortCase{9, "tcp", "9"},
                      PortCase{8080, "tcp", kCutName.c_str()}));

TEST(ListedPortText, OneReadingServesEveryPortOfTheCall) {
    FakeNames names = ListedNames();
    const NameService service = names.Service();
    Naming naming(service);
    char out[kNameTextSize];
    for (int32_t port = 30000; port < 40000; ++port) {
        PortText(naming, port, "tcp", out);
    }
    PortText(naming, 21, "tcp", out);
    EXPECT_STREQ(out, "ftp");
    EXPECT_EQ(names.listingCalls, 1);
    EXPECT_EQ(names.serviceCalls, 0);
    // Nothing is kept for the next call.
    names.database.front().name = "renamed";
    EXPECT_EQ(Port(names, 21, "tcp"), "renamed");
    EXPECT_EQ(names.listingCalls, 2);
}

TEST(ListedPortText, FailedReadingFallsBackToLookUpsByPort) {
    FakeNames names = ExampleNames();
    names.listsDatabase = true;
    names.listingFails = true;  // stops after an entry that a look-up does not give
    names.database = {{21, "tcp", "from-a-broken-reading"}, {25, "tcp", "smtp"}};
    const NameService service = names.Service();
    Naming naming(service);
    char out[kNameTextSize];
    PortText(naming, 21, "tcp", out);
    EXPECT_STREQ(out, "ftp");
    PortText(naming, 25, "tcp", out);
    EXPECT_STREQ(out, "smtp");
    PortText(naming, 4711, "tcp", out);
    EXPECT_STREQ(out, "4711");
    EXPECT_EQ(names.listingCalls, 1) << "a failed reading is not tried again in the call";
    EXPECT_EQ(names.serviceCalls, 3);
}

TEST(PortText, ServiceWithoutLookUpGivesNumbers) {
    const NameService none{};
    Naming naming(none);
    char out[kNameTextSize];
    PortText(naming, 21, "tcp", out);
    EXPECT_STREQ(out, "21");
}

}  // namespace
}  // namespace connwalk
