#include "json_reader.h"

#include <cstdint>

namespace connwalk::testing {

namespace {

constexpr int kMaxDepth = 64;

struct Reader {
    std::string_view text;
    size_t at = 0;

    bool AtEnd() const { return at >= text.size(); }
    char Peek() const { return AtEnd() ? '\0' : text[at]; }

    void SkipSpace() {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) {
            ++at;
        }
    }

    bool Take(std::string_view word) {
        if (text.substr(at, word.size()) != word) return false;
        at += word.size();
        return true;
    }

    bool ReadHex4(uint32_t *value) {
        *value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = Peek();
            uint32_t digit = 0;
            if (c >= '0' && c <= '9') {
                digit = static_cast<uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                digit = static_cast<uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                digit = static_cast<uint32_t>(c - 'A' + 10);
            } else {
                return false;
            }
            *value = *value * 16 + digit;
            ++at;
        }
        return true;
    }

    static void AppendUtf8(std::string *out, uint32_t code) {
        if (code < 0x80) {
            *out += static_cast<char>(code);
        } else if (code < 0x800) {
            *out += static_cast<char>(0xC0 | (code >> 6));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *out += static_cast<char>(0xE0 | (code >> 12));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (code >> 18));
            *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    // One well-formed UTF-8 character of two or more bytes, copied to `out`.
    bool ReadMultibyte(std::string *out) {
        const auto lead = static_cast<uint8_t>(Peek());
        size_t length = 0;
        uint32_t code = 0;
        uint32_t least = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, code = lead & 0x1Fu, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, code = lead & 0x0Fu, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, code = lead & 0x07u, least = 0x10000;
        } else {
            return false;
        }
        if (text.size() - at < length) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto byte = static_cast<uint8_t>(text[at + k]);
            if ((byte & 0xC0) != 0x80) return false;
            code = (code << 6) | (byte & 0x3Fu);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        out->append(text.substr(at, length));
        at += length;
        return true;
    }

    bool ReadString(std::string *out) {
        if (!Take("\"")) return false;
        while (!AtEnd()) {
            const auto c = static_cast<uint8_t>(Peek());
            if (c == '"') {
                ++at;
                return true;
            }
            if (c < 0x20) return false;
            if (c >= 0x80) {
                if (!ReadMultibyte(out)) return false;
                continue;
            }
            ++at;
            if (c != '\\') {
                *out += static_cast<char>(c);
                continue;
            }
            const char escape = Peek();
            ++at;
            switch (escape) {
                case '"': *out += '"'; break;
                case '\\': *out += '\\'; break;
                case '/': *out += '/'; break;
                case 'b': *out += '\b'; break;
                case 'f': *out += '\f'; break;
                case 'n': *out += '\n'; break;
                case 'r': *out += '\r'; break;
                case 't': *out += '\t'; break;
                case 'u': {
                    uint32_t code = 0;
                    if (!ReadHex4(&code)) return false;
                    if (code >= 0xD800 && code <= 0xDBFF) {
                        uint32_t low = 0;
                        if (!Take("\\u") || !ReadHex4(&low) || low < 0xDC00 || low > 0xDFFF) {
                            return false;
                        }
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    } else if (code >= 0xDC00 && code <= 0xDFFF) {
                        return false;
                    }
                    AppendUtf8(out, code);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    bool ReadDigits() {
        const size_t start = at;
        while (Peek() >= '0' && Peek() <= '9') ++at;
        return at > start;
    }

    bool ReadNumber(std::string *out) {
        const size_t start = at;
        Take("-");
        if (!Take("0") && !ReadDigits()) return false;
        if (Take(".") && !ReadDigits()) return false;
        if (Peek() == 'e' || Peek() == 'E') {
            ++at;
            if (Peek() == '+' || Peek() == '-') ++at;
            if (!ReadDigits()) return false;
        }
        *out = std::string(text.substr(start, at - start));
        return true;
    }

    bool ReadValue(JsonValue *value, int depth) {
        if (depth > kMaxDepth) return false;
        SkipSpace();
        const char c = Peek();
        if (c == '{') return ReadObject(value, depth);
        if (c == '[') return ReadArray(value, depth);
        if (c == '"') {
            value->kind = JsonValue::Kind::String;
            return ReadString(&value->text);
        }
        if (Take("null")) {
            value->kind = JsonValue::Kind::Null;
            return true;
        }
        if (Take("true") || Take("false")) {
            value->kind = JsonValue::Kind::Boolean;
            value->boolean = text[at - 1] == 'e' && text[at - 2] == 'u';
            return true;
        }
        value->kind = JsonValue::Kind::Number;
        return ReadNumber(&value->text);
    }

    bool ReadArray(JsonValue *value, int depth) {
        value->kind = JsonValue::Kind::Array;
        ++at;
        SkipSpace();
        if (Take("]")) return true;
        while (true) {
            JsonValue item;
            if (!ReadValue(&item, depth + 1)) return false;
            value->items.push_back(std::move(item));
            SkipSpace();
            if (Take("]")) return true;
            if (!Take(",")) return false;
        }
    }

    bool ReadObject(JsonValue *value, int depth) {
        value->kind = JsonValue::Kind::Object;
        ++at;
        SkipSpace();
        if (Take("}")) return true;
        while (true) {
            SkipSpace();
            std::string name;
            if (!ReadString(&name)) return false;
            SkipSpace();
            if (!Take(":")) return false;
            JsonValue member;
            if (!ReadValue(&member, depth + 1)) return false;
            value->memberNames.push_back(std::move(name));
            value->items.push_back(std::move(member));
            SkipSpace();
            if (Take("}")) return true;
            if (!Take(",")) return false;
        }
    }
};

}  // namespace

const JsonValue *JsonValue::Member(std::string_view name) const {
    if (kind != Kind::Object) return nullptr;
    for (size_t i = 0; i < memberNames.size() && i < items.size(); ++i) {
        if (memberNames[i] == name) return &items[i];
    }
    return nullptr;
}

std::optional<JsonValue> ReadJson(std::string_view text) {
    Reader reader{text};
    JsonValue value;
    if (!reader.ReadValue(&value, 0)) return std::nullopt;
    reader.SkipSpace();
    if (!reader.AtEnd()) return std::nullopt;
    return value;
}

}  // namespace connwalk::testing
