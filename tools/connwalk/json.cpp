#include "json.h"

#include <cstdint>

#include "utf8.h"

namespace connwalk_cli {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendControlEscape(std::string *out, uint8_t byte) {
    *out += "\\u00";
    *out += kHexDigits[byte >> 4];
    *out += kHexDigits[byte & 0x0F];
}

std::string ConnectionObject(const Connection &connection) {
    const bool udp = connection.protocol == Protocol::Udp;
    std::string object = "{\"protocol\":";
    object += udp ? "\"udp\"" : "\"tcp\"";
    object += ",\"local\":" + JsonString(connection.local);
    object += ",\"remote\":" + (udp ? std::string("null") : JsonString(connection.remote));
    object += ",\"state\":" + (udp ? std::string("null") : JsonString(connection.state));
    object += '}';
    return object;
}

}  // namespace

std::string JsonString(std::string_view bytes) {
    std::string out = "\"";
    out.reserve(bytes.size() + 2);
    while (!bytes.empty()) {
        const Utf8Step step = NextUtf8(bytes);
        const auto lead = static_cast<uint8_t>(bytes[0]);
        if (!step.valid) {
            out += "\\ufffd";
        } else if (lead == '"' || lead == '\\') {
            out += '\\';
            out += static_cast<char>(lead);
        } else if (lead < 0x20 || lead == 0x7F) {
            AppendControlEscape(&out, lead);
        } else {
            out.append(bytes.substr(0, step.length));
        }
        bytes.remove_prefix(step.length);
    }
    out += '"';
    return out;
}

std::string FormatJson(const std::vector<Connection> &connections) {
    if (connections.empty()) return "[]\n";
    std::string json = "[\n";
    for (size_t i = 0; i < connections.size(); ++i) {
        json += "  " + ConnectionObject(connections[i]);
        json += i + 1 < connections.size() ? ",\n" : "\n";
    }
    json += "]\n";
    return json;
}

std::string FormatPortInfoJson(std::string_view remote, std::string_view state) {
    return "{\"remote\":" + JsonString(remote) + ",\"state\":" + JsonString(state) + "}\n";
}

}  // namespace connwalk_cli
