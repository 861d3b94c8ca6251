#include "rpc/json.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "platform/text.h"

namespace vsk {

const Json* Json::Find(std::string_view key) const {
    if (m_type != Type::Object)
        return nullptr;
    for (const auto& [k, v] : m_object)
        if (k == key)
            return &v;
    return nullptr;
}

Json& Json::Set(std::string key, Json value) {
    if (m_type == Type::Null)
        m_type = Type::Object;
    for (auto& [k, v] : m_object) {
        if (k == key) {
            v = std::move(value);
            return v;
        }
    }
    m_object.emplace_back(std::move(key), std::move(value));
    return m_object.back().second;
}

bool operator==(const Json& a, const Json& b) {
    if (a.m_type != b.m_type)
        return false;
    switch (a.m_type) {
        case Json::Type::Null:
            return true;
        case Json::Type::Bool:
            return a.m_bool == b.m_bool;
        case Json::Type::Int:
            return a.m_int == b.m_int;
        case Json::Type::Double:
            return a.m_double == b.m_double;
        case Json::Type::String:
            return a.m_string == b.m_string;
        case Json::Type::Array:
            return a.m_array == b.m_array;
        case Json::Type::Object:
            return a.m_object == b.m_object;
    }
    return false;
}

namespace {

void DumpString(std::string& out, std::string_view s) {
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    out += '"';
}

}  // namespace

void Json::DumpTo(std::string& out) const {
    if (!m_source.empty()) {
        out += m_source;  // the parser checked it
        return;
    }
    switch (m_type) {
        case Type::Null:
            out += "null";
            break;
        case Type::Bool:
            out += m_bool ? "true" : "false";
            break;
        case Type::Int:
            out += std::to_string(m_int);
            break;
        case Type::Double: {
            if (!std::isfinite(m_double)) {
                out += "null";
                break;
            }
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.17g", m_double);
            out += buf;
            // Keep a double a double on the way back.
            if (!std::strpbrk(buf, ".eE"))
                out += ".0";
            break;
        }
        case Type::String:
            DumpString(out, m_string);
            break;
        case Type::Array: {
            out += '[';
            bool first = true;
            for (const auto& v : m_array) {
                if (!first)
                    out += ',';
                first = false;
                v.DumpTo(out);
            }
            out += ']';
            break;
        }
        case Type::Object: {
            out += '{';
            bool first = true;
            for (const auto& [k, v] : m_object) {
                if (!first)
                    out += ',';
                first = false;
                DumpString(out, k);
                out += ':';
                v.DumpTo(out);
            }
            out += '}';
            break;
        }
    }
}

std::string Json::Dump() const {
    std::string out;
    DumpTo(out);
    return out;
}

namespace {

// Length of the UTF-8 sequence at s[i], or 0 when it is not a valid, shortest-form scalar.
size_t Utf8SequenceLength(std::string_view s, size_t i, char32_t* cp) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    size_t n;
    char32_t v;
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        n = 2;
        v = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        v = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        v = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80)
            return 0;
        v = (v << 6) | (b(i + k) & 0x3F);
    }
    static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < kMin[n] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    *cp = v;
    return n;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

}  // namespace

class JsonParser {
public:
    explicit JsonParser(std::string_view text) : m_s(text) {}

    std::optional<Json> ParseDocument(std::string* error) {
        Json v;
        SkipSpace();
        if (!ParseValue(v, 0))
            return Fail(error);
        SkipSpace();
        if (m_pos != m_s.size()) {
            m_error = "trailing characters";
            return Fail(error);
        }
        return v;
    }

private:
    std::optional<Json> Fail(std::string* error) {
        if (error)
            *error = m_error + " at offset " + std::to_string(m_pos);
        return std::nullopt;
    }
    bool Error(const char* what) {
        m_error = what;
        return false;
    }
    void SkipSpace() {
        while (m_pos < m_s.size() && (m_s[m_pos] == ' ' || m_s[m_pos] == '\t' ||
                                      m_s[m_pos] == '\n' || m_s[m_pos] == '\r'))
            ++m_pos;
    }
    bool Literal(std::string_view word) {
        if (m_s.substr(m_pos, word.size()) != word)
            return Error("invalid literal");
        m_pos += word.size();
        return true;
    }

    bool ParseValue(Json& v, int depth) {
        if (depth > Json::kMaxDepth)
            return Error("nesting too deep");
        if (m_pos >= m_s.size())
            return Error("unexpected end");
        char c = m_s[m_pos];
        switch (c) {
            case 'n':
                v = Json();
                return Literal("null");
            case 't':
                v = Json(true);
                return Literal("true");
            case 'f':
                v = Json(false);
                return Literal("false");
            case '"': {
                size_t start = m_pos;
                std::string s;
                if (!ParseString(s))
                    return false;
                v = Json(std::move(s));
                // Dump writes the plain text back as it came; only escapes and DEL differ.
                std::string_view source = m_s.substr(start, m_pos - start);
                if (source.find_first_of("\\\x7f") != std::string_view::npos)
                    v.m_source = source;
                return true;
            }
            case '[':
                return ParseArray(v, depth);
            case '{':
                return ParseObject(v, depth);
            default:
                if (c == '-' || (c >= '0' && c <= '9'))
                    return ParseNumber(v);
                return Error("unexpected character");
        }
    }

    bool ParseArray(Json& v, int depth) {
        ++m_pos;
        Json::Array a;
        SkipSpace();
        if (m_pos < m_s.size() && m_s[m_pos] == ']') {
            ++m_pos;
            v = Json(std::move(a));
            return true;
        }
        for (;;) {
            Json item;
            SkipSpace();
            if (!ParseValue(item, depth + 1))
                return false;
            a.push_back(std::move(item));
            SkipSpace();
            if (m_pos >= m_s.size())
                return Error("unterminated array");
            if (m_s[m_pos] == ',') {
                ++m_pos;
                continue;
            }
            if (m_s[m_pos] == ']') {
                ++m_pos;
                v = Json(std::move(a));
                return true;
            }
            return Error("expected ',' or ']'");
        }
    }

    bool ParseObject(Json& v, int depth) {
        ++m_pos;
        Json::Object o;
        // Two members of one name would let the server and a client read different values;
        // a set of names once the object is too long for a scan to stay cheap.
        constexpr size_t kScanLimit = 8;
        std::unordered_set<std::string> names;
        SkipSpace();
        if (m_pos < m_s.size() && m_s[m_pos] == '}') {
            ++m_pos;
            v = Json(std::move(o));
            return true;
        }
        for (;;) {
            SkipSpace();
            if (m_pos >= m_s.size() || m_s[m_pos] != '"')
                return Error("expected member name");
            std::string key;
            if (!ParseString(key))
                return false;
            if (o.size() < kScanLimit) {
                for (const auto& member : o)
                    if (member.first == key)
                        return Error("duplicate member name");
            } else {
                if (names.empty())
                    for (const auto& member : o)
                        names.insert(member.first);
                if (!names.insert(key).second)
                    return Error("duplicate member name");
            }
            SkipSpace();
            if (m_pos >= m_s.size() || m_s[m_pos] != ':')
                return Error("expected ':'");
            ++m_pos;
            SkipSpace();
            Json item;
            if (!ParseValue(item, depth + 1))
                return false;
            o.emplace_back(std::move(key), std::move(item));
            SkipSpace();
            if (m_pos >= m_s.size())
                return Error("unterminated object");
            if (m_s[m_pos] == ',') {
                ++m_pos;
                continue;
            }
            if (m_s[m_pos] == '}') {
                ++m_pos;
                v = Json(std::move(o));
                return true;
            }
            return Error("expected ',' or '}'");
        }
    }

    bool Hex4(uint32_t* out) {
        if (m_pos + 4 > m_s.size())
            return Error("short \\u escape");
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = HexValue(m_s[m_pos + i]);
            if (digit < 0)
                return Error("bad \\u escape");
            v = v << 4 | uint32_t(digit);
        }
        m_pos += 4;
        *out = v;
        return true;
    }

    bool ParseString(std::string& out) {
        ++m_pos;  // opening quote
        for (;;) {
            if (m_pos >= m_s.size())
                return Error("unterminated string");
            unsigned char c = static_cast<unsigned char>(m_s[m_pos]);
            if (c == '"') {
                ++m_pos;
                return true;
            }
            if (c < 0x20)
                return Error("control character in string");
            if (c == '\\') {
                if (++m_pos >= m_s.size())
                    return Error("unterminated escape");
                char e = m_s[m_pos++];
                switch (e) {
                    case '"':
                        out += '"';
                        break;
                    case '\\':
                        out += '\\';
                        break;
                    case '/':
                        out += '/';
                        break;
                    case 'b':
                        out += '\b';
                        break;
                    case 'f':
                        out += '\f';
                        break;
                    case 'n':
                        out += '\n';
                        break;
                    case 'r':
                        out += '\r';
                        break;
                    case 't':
                        out += '\t';
                        break;
                    case 'u': {
                        uint32_t u;
                        if (!Hex4(&u))
                            return false;
                        if (u >= 0xDC00 && u <= 0xDFFF)
                            return Error("unpaired surrogate");
                        if (u >= 0xD800 && u <= 0xDBFF) {
                            uint32_t lo;
                            if (m_s.substr(m_pos, 2) != "\\u")
                                return Error("unpaired surrogate");
                            m_pos += 2;
                            if (!Hex4(&lo))
                                return false;
                            if (lo < 0xDC00 || lo > 0xDFFF)
                                return Error("unpaired surrogate");
                            u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                        }
                        AppendUtf8(out, u);
                        break;
                    }
                    default:
                        return Error("bad escape");
                }
                continue;
            }
            char32_t cp;
            size_t n = Utf8SequenceLength(m_s, m_pos, &cp);
            if (n == 0)
                return Error("invalid UTF-8");
            out.append(m_s.substr(m_pos, n));
            m_pos += n;
        }
    }

    bool ParseNumber(Json& v) {
        size_t start = m_pos;
        if (m_s[m_pos] == '-')
            ++m_pos;
        auto digits = [&] {
            size_t d = m_pos;
            while (m_pos < m_s.size() && m_s[m_pos] >= '0' && m_s[m_pos] <= '9')
                ++m_pos;
            return m_pos - d;
        };
        size_t intStart = m_pos;
        size_t nInt = digits();
        if (nInt == 0)
            return Error("bad number");
        if (nInt > 1 && m_s[intStart] == '0')
            return Error("leading zero");
        bool integral = true;
        if (m_pos < m_s.size() && m_s[m_pos] == '.') {
            ++m_pos;
            if (digits() == 0)
                return Error("bad fraction");
            integral = false;
        }
        if (m_pos < m_s.size() && (m_s[m_pos] == 'e' || m_s[m_pos] == 'E')) {
            ++m_pos;
            if (m_pos < m_s.size() && (m_s[m_pos] == '+' || m_s[m_pos] == '-'))
                ++m_pos;
            if (digits() == 0)
                return Error("bad exponent");
            integral = false;
        }
        std::string text(m_s.substr(start, m_pos - start));
        errno = 0;
        long long ll = integral ? std::strtoll(text.c_str(), nullptr, 10) : 0;
        if (integral && errno != ERANGE) {
            v = Json(int64_t(ll));
        } else {
            v = Json(std::strtod(text.c_str(), nullptr));
            v.m_bigInteger = integral;
        }
        v.m_source = std::move(text);
        return true;
    }

    std::string_view m_s;
    size_t m_pos = 0;
    std::string m_error;
};

std::optional<Json> Json::Parse(std::string_view text, std::string* error) {
    return JsonParser(text).ParseDocument(error);
}

bool IsValidUtf8(std::string_view text) {
    char32_t cp;
    for (size_t i = 0; i < text.size();) {
        size_t n = Utf8SequenceLength(text, i, &cp);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    char32_t cp;
    for (size_t i = 0; i < text.size();) {
        size_t n = Utf8SequenceLength(text, i, &cp);
        if (n == 0)
            return std::nullopt;
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            u = 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            u = 0xFFFD;
        }
        AppendUtf8(out, u);
    }
    return out;
}

}  // namespace vsk
