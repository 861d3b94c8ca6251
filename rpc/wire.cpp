#include "rpc/wire.h"

#include <limits>

namespace vsk::wire {

HRESULT ArgFromJson(const Json& value, VarType type, VARIANT* out) {
    switch (type) {
        case VarType::Long:
            if (value.IsInt()) {
                int64_t v = value.AsInt();
                if (v < std::numeric_limits<int32_t>::min() ||
                    v > std::numeric_limits<int32_t>::max())
                    return DISP_E_OVERFLOW;
                *out = VARIANT::FromLong(LONG(v));
                return S_OK;
            }
            return value.IsBigInteger() ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
        case VarType::Date:
            if (!value.IsNumber())
                return DISP_E_TYPEMISMATCH;
            *out = VARIANT::FromDate(value.AsDouble());
            return S_OK;
        case VarType::Bstr: {
            if (!value.IsString())
                return DISP_E_TYPEMISMATCH;
            auto text = Utf8ToUtf16(value.AsString());
            if (!text)
                return DISP_E_TYPEMISMATCH;  // the parser already refuses bad UTF-8
            *out = VARIANT::FromBstr(std::move(*text));
            return S_OK;
        }
    }
    return DISP_E_TYPEMISMATCH;
}

Json ToJson(const VARIANT& v) {
    switch (v.vt()) {
        case VT_I4:
            return Json(int64_t(v.lVal()));
        case VT_R8:
        case VT_DATE:
            return Json(v.dblVal());
        case VT_BSTR:
            return Json(Utf16ToUtf8(v.bstrVal()));
        default:
            return Json();
    }
}

std::optional<VARIANT> FromJson(const Json& value) {
    switch (value.type()) {
        case Json::Type::Null:
            return VARIANT();
        case Json::Type::Int:
            if (value.AsInt() < std::numeric_limits<int32_t>::min() ||
                value.AsInt() > std::numeric_limits<int32_t>::max())
                return std::nullopt;
            return VARIANT::FromLong(LONG(value.AsInt()));
        case Json::Type::Double:
            return VARIANT::FromDouble(value.AsDouble());
        case Json::Type::String: {
            auto text = Utf8ToUtf16(value.AsString());
            if (!text)
                return std::nullopt;
            return VARIANT::FromBstr(std::move(*text));
        }
        default:
            return std::nullopt;
    }
}

namespace {

const char* DirName(ParamDir d) {
    switch (d) {
        case ParamDir::In:
            return "in";
        case ParamDir::RetVal:
            return "out,retval";
        case ParamDir::Plain:
            return "";
    }
    return "";
}

}  // namespace

Json DescribeTypeInfo(const ITypeInfo& info) {
    Json lib;
    lib.Set("name", typelib::kLibraryName);
    lib.Set("libid", GuidToString(typelib::LIBID_VSKManager));
    lib.Set("version",
            std::to_string(typelib::kVersionMajor) + "." + std::to_string(typelib::kVersionMinor));
    lib.Set("lcid", int64_t(typelib::kLcid));
    Json d;
    d.Set("library", std::move(lib));
    d.Set("name", info.name);
    d.Set("iid", GuidToString(info.iid));
    d.Set("kind", info.dual ? "interface" : "dispinterface");
    d.Set("help", info.help);
    Json::Array flags;
    if (info.dual)
        for (const char* f : {"dual", "nonextensible", "oleautomation", "dispatchable"})
            flags.emplace_back(f);
    else
        flags.emplace_back("dispatchable");
    d.Set("flags", std::move(flags));
    Json::Array members;
    for (const MemberDesc& m : info.members) {
        Json jm;
        jm.Set("dispid", int64_t(m.dispid));
        jm.Set("name", m.name);
        jm.Set("kind", m.kind == MemberKind::Method ? "method" : "property");
        jm.Set("returns", info.dual ? "HRESULT" : VarTypeName(m.result));
        Json::Array params;
        for (const ParamDesc& p : m.Params()) {
            Json jp;
            jp.Set("name", p.name);
            jp.Set("type", VarTypeName(p.type) + std::string(p.dir == ParamDir::RetVal ? "*" : ""));
            jp.Set("dir", DirName(p.dir));
            params.push_back(std::move(jp));
        }
        jm.Set("params", std::move(params));
        jm.Set("help", m.help);
        members.push_back(std::move(jm));
    }
    d.Set("members", std::move(members));
    return d;
}

Json Request(int64_t id, std::string method, Json params) {
    Json r;
    r.Set("jsonrpc", "2.0");
    r.Set("id", id);
    r.Set("method", std::move(method));
    r.Set("params", std::move(params));
    return r;
}

Json Result(const Json& id, Json result) {
    Json r;
    r.Set("jsonrpc", "2.0");
    r.Set("id", id);
    r.Set("result", std::move(result));
    return r;
}

Json Error(const Json& id, HRESULT code, const std::string& message) {
    Json e;
    e.Set("code", int64_t(code));
    e.Set("message", message);
    Json r;
    r.Set("jsonrpc", "2.0");
    r.Set("id", id);
    r.Set("error", std::move(e));
    return r;
}

std::optional<InvokeKind> KindFromName(std::string_view kind) {
    if (kind == "method")
        return InvokeKind::Method;
    if (kind == "get")
        return InvokeKind::PropertyGet;
    if (kind == "put")
        return InvokeKind::PropertyPut;
    return std::nullopt;
}

}  // namespace vsk::wire
