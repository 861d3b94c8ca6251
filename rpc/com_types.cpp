#include "rpc/com_types.h"

#include <cstdio>

#include "platform/text.h"

namespace vsk {

std::string HResultName(HRESULT hr) {
    static const struct {
        HRESULT hr;
        const char* name;
    } kNames[] = {
        {S_OK, "S_OK"},
        {S_FALSE, "S_FALSE"},
        {E_NOTIMPL, "E_NOTIMPL"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_POINTER, "E_POINTER"},
        {E_FAIL, "E_FAIL"},
        {E_UNEXPECTED, "E_UNEXPECTED"},
        {E_ACCESSDENIED, "E_ACCESSDENIED"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND"},
        {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH"},
        {DISP_E_UNKNOWNNAME, "DISP_E_UNKNOWNNAME"},
        {DISP_E_OVERFLOW, "DISP_E_OVERFLOW"},
        {DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT"},
        {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
        {REGDB_E_IIDNOTREG, "REGDB_E_IIDNOTREG"},
        {CO_E_SERVER_EXEC_FAILURE, "CO_E_SERVER_EXEC_FAILURE"},
        {RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED"},
        {RPC_E_INVALID_DATA, "RPC_E_INVALID_DATA"},
        {RPC_E_ACCESS_DENIED, "RPC_E_ACCESS_DENIED"},
        {CONTEXT_E_SYNCH_TIMEOUT, "CONTEXT_E_SYNCH_TIMEOUT"},
    };
    for (const auto& n : kNames)
        if (n.hr == hr)
            return n.name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<uint32_t>(hr));
    return buf;
}

std::string GuidToString(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

std::optional<GUID> GuidFromString(std::string_view s) {
    if (s.size() != 38 || s[0] != '{' || s[37] != '}')
        return std::nullopt;
    uint8_t bytes[16];
    int n = 0;
    for (size_t i = 1; i < 37; ++i) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (s[i] != '-')
                return std::nullopt;
            continue;
        }
        int h = HexValue(s[i]), l = HexValue(s[i + 1]);
        if (h < 0 || l < 0)
            return std::nullopt;
        bytes[n++] = uint8_t(h * 16 + l);
        ++i;
    }
    GUID g;
    g.Data1 =
        uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    g.Data2 = uint16_t(bytes[4] << 8 | bytes[5]);
    g.Data3 = uint16_t(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = bytes[8 + i];
    return g;
}

}  // namespace vsk
