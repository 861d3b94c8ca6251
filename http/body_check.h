// The check of a request's body, field by field, that the printing routes share. Internal to
// http/.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "http/http_reply.h"
#include "resources/failure.h"
#include "rpc/json.h"

namespace vsk {

// A JSON pointer's member token (RFC 6901: "~" and "/" escaped).
inline std::string PointerToken(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '~')
            out += "~0";
        else if (c == '/')
            out += "~1";
        else
            out += c;
    }
    return out;
}

// Checks a body field by field. The first fault is kept with the JSON pointer of the
// field, so that a till can show which of its fields was wrong; nothing reaches the register
// until the whole body has passed.
class BodyCheck {
public:
    // `fault`: the row whose word and status a refusal answers with.
    explicit BodyCheck(Fault fault) : m_fault(fault) {}
    bool Failed() const { return !m_field.empty(); }
    HttpReply Refusal() const {
        Json why;
        why.Set("code", std::string(RowOf(m_fault).word));
        why.Set("message", m_why + " (" + m_field + "); nothing was printed");
        why.Set("field", m_field);
        Json body;
        body.Set("error", std::move(why));
        return JsonReply(RowOf(m_fault).http, body);
    }
    // An object with only the named members: a misspelt field is an error, not a default.
    bool Members(const Json* obj, const std::string& at, std::initializer_list<const char*> names,
                 const char* what) {
        if (Failed())
            return false;
        if (!obj || !obj->IsObject())
            return Fail(at.empty() ? "" : at, std::string(what) + " is a JSON object");
        for (const auto& [name, value] : obj->AsObject()) {
            bool known = false;
            for (const char* n : names)
                known = known || name == n;
            if (!known)
                return Fail(at + "/" + PointerToken(name), "no such field in " + std::string(what));
        }
        return true;
    }
    // A text the register prints: no control characters (a NUL would cut the frame).
    bool Text(const Json& obj, const std::string& at, const char* name, std::string fallback,
              std::string* out) {
        if (Failed())
            return false;
        const Json* v = obj.Find(name);
        if (!v) {
            *out = std::move(fallback);
            return true;
        }
        const std::string field = at + "/" + name;
        if (!v->IsString())
            return Fail(field, std::string(name) + " is a string");
        for (unsigned char c : v->AsString())
            if (c < 0x20 || c == 0x7F)
                return Fail(field, std::string(name) + " holds a control character");
        *out = v->AsString();
        return true;
    }
    bool Number(const Json& obj, const std::string& at, const char* name, int64_t fallback,
                int64_t low, int64_t high, int64_t* out, bool required = false) {
        if (Failed())
            return false;
        const Json* v = obj.Find(name);
        const std::string field = at + "/" + name;
        if (!v) {
            if (required)
                return Fail(field, std::string(name) + " is required");
            *out = fallback;
            return true;
        }
        if (!v->IsInt())
            return Fail(field, std::string(name) + " is a whole number");
        if (v->AsInt() < low || v->AsInt() > high)
            return Fail(field, std::string(name) + " is " + std::to_string(low) + " to " +
                                   std::to_string(high));
        *out = v->AsInt();
        return true;
    }
    // true/false, or 0/1 as the socket's methods take them.
    bool Flag(const Json& obj, const std::string& at, const char* name, bool* out) {
        if (Failed())
            return false;
        const Json* v = obj.Find(name);
        if (v && v->IsBool()) {
            *out = v->AsBool();
            return true;
        }
        int64_t number = 0;
        const bool ok = Number(obj, at, name, 0, 0, 1, &number);
        *out = number != 0;
        return ok;
    }
    bool Fail(const std::string& field, const std::string& why) {
        if (!Failed()) {
            m_field = field.empty() ? "/" : field;
            m_why = why;
        }
        return false;
    }

private:
    Fault m_fault;
    std::string m_field, m_why;
};

}  // namespace vsk
