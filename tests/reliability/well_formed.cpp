#include "well_formed.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "connwalk.h"

namespace connwalk::testing {

namespace {

constexpr std::array<std::string_view, 13> kStateLabels = {
    "???",       "CLOSED",     "LISTENING", "SYN_SENT", "SEN_RECEIVED", "ESTABLISHED", "FIN_WAIT",
    "FIN_WAIT2", "CLOSE_WAIT", "CLOSING",   "LAST_ACK", "TIME_WAIT",    "DELETE_TCB"};

bool IsEndpoint(std::string_view text) {
    const size_t colon = text.rfind(':');
    return colon != std::string_view::npos && colon != 0 && colon + 1 < text.size() &&
           text.size() < CONNWALK_ENDPOINT_SIZE;
}

std::string Shown(std::string_view text) {
    constexpr size_t kShown = 200;
    std::string shown;
    for (const char c : text.substr(0, kShown)) {
        shown += c == '\r' ? std::string("<CR>") : std::string(1, c);
    }
    if (text.size() > kShown) shown += "...";
    return shown;
}

}  // namespace

bool IsStateLabel(std::string_view label) {
    return std::find(kStateLabels.begin(), kStateLabels.end(), label) != kStateLabels.end();
}

std::string_view HostOf(std::string_view endpoint) {
    const size_t colon = endpoint.rfind(':');
    return colon == std::string_view::npos ? std::string_view() : endpoint.substr(0, colon);
}

std::optional<uint16_t> NumericPort(std::string_view endpoint) {
    const size_t colon = endpoint.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view text = endpoint.substr(colon + 1);
    uint16_t port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return port;
}

::testing::AssertionResult WellFormedListing(Table table, int32_t result, std::string_view text,
                                             bool untouched) {
    if (result == 0) {
        if (untouched || text.empty()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "result 0 but the buffer holds \"" << Shown(text) << "\"";
    }
    if (result == 1) {
        if (untouched) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "result 1 but the buffer was written: \"" << Shown(text) << "\"";
    }
    if (result < 3 || result >= CONNWALK_LISTING_SIZE) {
        return ::testing::AssertionFailure() << "result " << result << " is no listing length";
    }
    if (static_cast<size_t>(result) != text.size()) {
        return ::testing::AssertionFailure()
               << "result " << result << " but the listing is " << text.size() << " bytes long";
    }
    if (text.back() != '\\') {
        return ::testing::AssertionFailure()
               << "the listing does not end with a backslash: \""
               << Shown(text.substr(text.size() - std::min<size_t>(text.size(), 80))) << "\"";
    }
    if (text.find('\n') != std::string_view::npos) {
        return ::testing::AssertionFailure() << "the listing holds a newline";
    }
    const size_t fields = table == Table::Tcp ? 3 : 1;
    for (const Record &record : Records(text)) {
        const bool whole =
            record.size() == fields && IsEndpoint(record[0]) &&
            (table == Table::Udp || (IsEndpoint(record[1]) && IsStateLabel(record[2])));
        if (!whole) {
            std::string joined;
            for (const std::string &field : record) joined += field + "<CR>";
            return ::testing::AssertionFailure() << "malformed record \"" << Shown(joined) << "\"";
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult WellFormedListing(Table table, const ListingCall &call) {
    return WellFormedListing(table, call.result, call.text, call.untouched);
}

::testing::AssertionResult WellFormedPortInfo(const PortInfoCall &call) {
    if (call.result == 0) {
        if (call.untouched) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "result 0 but the outputs were written: \""
                                             << call.endpoint << "\", \"" << call.state << "\"";
    }
    if (call.result != 1) {
        return ::testing::AssertionFailure() << "result " << call.result << " of a lookup";
    }
    if (call.untouched) return ::testing::AssertionSuccess();
    if (!IsEndpoint(call.endpoint) || !IsStateLabel(call.state)) {
        return ::testing::AssertionFailure()
               << "malformed outputs \"" << call.endpoint << "\", \"" << call.state << "\"";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace connwalk::testing
