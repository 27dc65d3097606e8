#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "text/guarded_area.h"
#include "text/texts.h"

namespace connwalk {
namespace {

using testing::GuardedArea;

struct EndpointCase {
    std::string host;
    std::string port;
    std::string text;
    friend std::ostream &operator<<(std::ostream &os, const EndpointCase &c) {
        return os << c.host.size() << "+" << c.port.size();
    }
};

class EndpointTextTable : public ::testing::TestWithParam<EndpointCase> {};

TEST_P(EndpointTextTable, HostColonPort) {
    const EndpointCase &c = GetParam();
    GuardedArea<kEndpointTextSize> out;
    EndpointText(c.host.c_str(), c.port.c_str(), out.Area());
    EXPECT_EQ(out.Text(), c.text);
    EXPECT_TRUE(out.GuardIntact());
}

INSTANTIATE_TEST_SUITE_P(
    Examples, EndpointTextTable,
    ::testing::Values(
        EndpointCase{"HOST", "ftp", "HOST:ftp"}, EndpointCase{"0.0.0.0", "0", "0.0.0.0:0"},
        EndpointCase{"localhost", "ftp", "localhost:ftp"},
        EndpointCase{"192.0.2.7", "smtp", "192.0.2.7:smtp"},
        EndpointCase{"peer", "-5", "peer:-5"}, EndpointCase{"", "", ":"},
        EndpointCase{"h\xC3\xA9\\\r", "%s%n", "h\xC3\xA9\\\r:%s%n"},
        // Two texts of the longest kind just fit.
        EndpointCase{std::string(255, 'h'), std::string(255, 'p'),
                     std::string(255, 'h') + ":" + std::string(255, 'p')},
        // Anything longer is cut at the area's end, host first.
        EndpointCase{std::string(300, 'h'), std::string(300, 'p'),
                     std::string(300, 'h') + ":" + std::string(210, 'p')},
        EndpointCase{std::string(510, 'h'), "ftp", std::string(510, 'h') + ":"},
        EndpointCase{std::string(600, 'h'), "ftp", std::string(511, 'h')}));

TEST(EndpointText, LongestTextEndsAtTheLastByte) {
    GuardedArea<kEndpointTextSize> out;
    const std::string host(255, 'h');
    const std::string port(255, 'p');
    EndpointText(host.c_str(), port.c_str(), out.Area());
    EXPECT_EQ(out.bytes[kEndpointTextSize - 1], '\0');
    EXPECT_TRUE(out.GuardIntact());
}

}  // namespace
}  // namespace connwalk
