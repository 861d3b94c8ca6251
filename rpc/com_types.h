// The mini automation runtime: the handful of COM/OLE automation types the server and its
// clients share. Values and member order follow the platform so that code written against the
// automation interface reads the same here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vsk {

using HRESULT = int32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using DISPID = int32_t;
// A counted UTF-16 string; ownership is the std::u16string's.
using BSTR = std::u16string;
// Days since 1899-12-30, the fraction being the time of day.
using DATE = double;

constexpr HRESULT MakeHr(uint32_t v) {
    return static_cast<HRESULT>(v);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHr(0x80004001);
constexpr HRESULT E_NOINTERFACE = MakeHr(0x80004002);
constexpr HRESULT E_POINTER = MakeHr(0x80004003);
constexpr HRESULT E_FAIL = MakeHr(0x80004005);
constexpr HRESULT E_UNEXPECTED = MakeHr(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = MakeHr(0x80070005);
constexpr HRESULT E_OUTOFMEMORY = MakeHr(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeHr(0x80070057);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHr(0x80020003);
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHr(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHr(0x80020006);
constexpr HRESULT DISP_E_OVERFLOW = MakeHr(0x8002000A);
constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHr(0x8002000E);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHr(0x80040154);
constexpr HRESULT REGDB_E_IIDNOTREG = MakeHr(0x80040155);
constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = MakeHr(0x80080005);
// The object (or its connection) is gone: unknown object handles, a server that went away.
constexpr HRESULT RPC_E_DISCONNECTED = MakeHr(0x80010108);
// A request that is not well-formed JSON-RPC (bad JSON, too long, wrong shape).
constexpr HRESULT RPC_E_INVALID_DATA = MakeHr(0x8001010F);
constexpr HRESULT RPC_E_ACCESS_DENIED = MakeHr(0x8001011B);
// The lock time-out of LockPrinter.
constexpr HRESULT CONTEXT_E_SYNCH_TIMEOUT = MakeHr(0x8004E006);

constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

// Symbolic name of a known HRESULT ("E_FAIL"), or "0x80004005" style hex for others.
std::string HResultName(HRESULT hr);

struct GUID {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};

    friend bool operator==(const GUID&, const GUID&) = default;
};
using CLSID = GUID;
using IID = GUID;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, the form class files are named by.
std::string GuidToString(const GUID& guid);
// Accepts the braced form in either letter case; nothing for anything else.
std::optional<GUID> GuidFromString(std::string_view text);

// Compile-time GUID from its braced text, for the identities of the type library.
consteval GUID MakeGuid(const char (&s)[39]) {
    auto hex = [](char c) -> uint32_t {
        if (c >= '0' && c <= '9')
            return uint32_t(c - '0');
        if (c >= 'A' && c <= 'F')
            return uint32_t(c - 'A' + 10);
        if (c >= 'a' && c <= 'f')
            return uint32_t(c - 'a' + 10);
        throw "not a hex digit";
    };
    auto num = [&](int from, int digits) {
        uint32_t v = 0;
        for (int i = 0; i < digits; ++i)
            v = v * 16 + hex(s[from + i]);
        return v;
    };
    if (s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' || s[37] != '}')
        throw "not a braced GUID";
    GUID g;
    g.Data1 = num(1, 8);
    g.Data2 = uint16_t(num(10, 4));
    g.Data3 = uint16_t(num(15, 4));
    g.Data4[0] = uint8_t(num(20, 2));
    g.Data4[1] = uint8_t(num(22, 2));
    for (int i = 0; i < 6; ++i)
        g.Data4[2 + i] = uint8_t(num(25 + 2 * i, 2));
    return g;
}

constexpr GUID IID_IUnknown = MakeGuid("{00000000-0000-0000-C000-000000000046}");
constexpr GUID IID_IDispatch = MakeGuid("{00020400-0000-0000-C000-000000000046}");

enum VARTYPE : uint16_t {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I4 = 3,
    VT_R8 = 5,
    VT_DATE = 7,
    VT_BSTR = 8
};

// The automation value: empty, long, double, DATE or BSTR.
class VARIANT {
public:
    VARIANT() = default;
    static VARIANT FromLong(LONG v) { return VARIANT(VT_I4, v); }
    static VARIANT FromDouble(double v) { return VARIANT(VT_R8, v); }
    static VARIANT FromDate(DATE v) { return VARIANT(VT_DATE, v); }
    static VARIANT FromBstr(BSTR v) { return VARIANT(VT_BSTR, std::move(v)); }

    VARTYPE vt() const { return m_vt; }
    bool IsEmpty() const { return m_vt == VT_EMPTY; }
    LONG lVal() const { return std::get<LONG>(m_value); }
    double dblVal() const { return std::get<double>(m_value); }
    const BSTR& bstrVal() const { return std::get<BSTR>(m_value); }

    friend bool operator==(const VARIANT&, const VARIANT&) = default;

private:
    template <class T>
    VARIANT(VARTYPE vt, T v) : m_vt(vt), m_value(std::move(v)) {}
    VARTYPE m_vt = VT_EMPTY;
    std::variant<std::monostate, LONG, double, BSTR> m_value;
};

class ITypeInfo;

// COM member order: QueryInterface, AddRef, Release.
class IUnknown {
public:
    virtual HRESULT QueryInterface(const IID& riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;  // not virtual: slots 0-2 are the three members above
};

enum class InvokeKind : uint16_t { Method = 1, PropertyGet = 2, PropertyPut = 4 };

// COM member order: GetTypeInfoCount, GetTypeInfo, GetIDsOfNames, Invoke. The argument
// vectors carry inputs in declaration order (not reversed as on the platform's stack).
class IDispatch : public IUnknown {
public:
    virtual HRESULT GetTypeInfoCount(unsigned* pctinfo) = 0;
    virtual HRESULT GetTypeInfo(unsigned iTInfo, const ITypeInfo** ppTInfo) = 0;
    // One name at a time is enough for every caller; names compare without letter case.
    virtual HRESULT GetIDsOfNames(const std::u16string& name, DISPID* pDispId) = 0;
    virtual HRESULT Invoke(DISPID dispId, InvokeKind kind, const VARIANT* args, unsigned argCount,
                           VARIANT* pResult) = 0;
};

}  // namespace vsk
