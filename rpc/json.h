// A small JSON value, parser and writer: the one codec of the wire protocol, shared by the
// server and the client library (no Qt). Strings are UTF-8; the parser refuses invalid UTF-8,
// unpaired surrogate escapes, duplicate member names and nesting deeper than kMaxDepth.
//
// A parsed number, and a parsed string written otherwise than Dump would write it, keep their
// source text and are dumped as it: a request id comes back byte for byte as the client sent
// it, whatever its length or spelling.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vsk {

class Json {
public:
    enum class Type { Null, Bool, Int, Double, String, Array, Object };
    using Array = std::vector<Json>;
    using Object = std::vector<std::pair<std::string, Json>>;  // member order is kept

    static constexpr int kMaxDepth = 64;

    Json() = default;
    Json(std::nullptr_t) {}
    Json(bool b) : m_type(Type::Bool), m_bool(b) {}
    Json(int v) : m_type(Type::Int), m_int(v) {}
    Json(int64_t v) : m_type(Type::Int), m_int(v) {}
    Json(double v) : m_type(Type::Double), m_double(v) {}
    Json(const char* s) : m_type(Type::String), m_string(s) {}
    Json(std::string s) : m_type(Type::String), m_string(std::move(s)) {}
    Json(Array a) : m_type(Type::Array), m_array(std::move(a)) {}
    Json(Object o) : m_type(Type::Object), m_object(std::move(o)) {}

    Type type() const { return m_type; }
    bool IsNull() const { return m_type == Type::Null; }
    bool IsBool() const { return m_type == Type::Bool; }
    bool IsInt() const { return m_type == Type::Int; }
    bool IsNumber() const { return m_type == Type::Int || m_type == Type::Double; }
    bool IsString() const { return m_type == Type::String; }
    bool IsArray() const { return m_type == Type::Array; }
    bool IsObject() const { return m_type == Type::Object; }
    // An integer literal too large for 64 bits is held as a Double with this flag set.
    bool IsBigInteger() const { return m_type == Type::Double && m_bigInteger; }

    bool AsBool() const { return m_bool; }
    int64_t AsInt() const { return m_int; }
    double AsDouble() const { return m_type == Type::Int ? double(m_int) : m_double; }
    const std::string& AsString() const { return m_string; }
    const Array& AsArray() const { return m_array; }
    Array& AsArray() { return m_array; }
    const Object& AsObject() const { return m_object; }

    // Object member lookup; nullptr when absent or not an object.
    const Json* Find(std::string_view key) const;
    // Appends (or replaces) an object member; turns a null into an object.
    Json& Set(std::string key, Json value);

    // Compact one-line text, UTF-8, no trailing newline.
    std::string Dump() const;

    // nullopt with *error set on any syntax or encoding fault.
    static std::optional<Json> Parse(std::string_view text, std::string* error = nullptr);

    friend bool operator==(const Json& a, const Json& b);

private:
    void DumpTo(std::string& out) const;

    Type m_type = Type::Null;
    bool m_bool = false;
    bool m_bigInteger = false;
    int64_t m_int = 0;
    double m_double = 0;
    std::string m_string;
    Array m_array;
    Object m_object;
    std::string m_source;  // parsed text of a number or string; empty: dump from the value

    friend class JsonParser;
};

// UTF-8 <-> UTF-16 at the automation boundary. Utf8ToUtf16 fails on invalid UTF-8;
// Utf16ToUtf8 writes U+FFFD for an unpaired surrogate.
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
bool IsValidUtf8(std::string_view text);

}  // namespace vsk
