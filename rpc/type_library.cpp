#include "rpc/type_library.h"

#include "platform/text.h"
#include "rpc/dispatcher.h"
#include "rpc/json.h"
#include "rpc/manager_dispatch.h"

namespace vsk {

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

const MemberDesc* ITypeInfo::FindByDispId(DISPID id) const {
    for (const auto& m : members)
        if (m.dispid == id)
            return &m;
    return nullptr;
}

const MemberDesc* ITypeInfo::FindByName(std::string_view n) const {
    for (const auto& m : members)
        if (EqualNoCase(m.name, n))
            return &m;
    return nullptr;
}

const char* VarTypeName(VarType t) {
    switch (t) {
        case VarType::Long:
            return "long";
        case VarType::Bstr:
            return "BSTR";
        case VarType::Date:
            return "DATE";
    }
    return "?";
}

namespace typelib {

const ITypeInfo& VeskarTypeInfo() {
    static const ITypeInfo info{"IVeskar", IID_IVeskar, kVeskarInterfaceHelp, true, kVeskarMethods};
    return info;
}

const ITypeInfo& ManagerTypeInfo() {
    static const ITypeInfo info{"IVSKManager", IID_IVSKManager, "", false, kManagerMembers};
    return info;
}

}  // namespace typelib

HRESULT IVeskarDispatchImpl::GetTypeInfoCount(unsigned* pctinfo) {
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT IVeskarDispatchImpl::GetTypeInfo(unsigned iTInfo, const ITypeInfo** ppTInfo) {
    if (!ppTInfo)
        return E_POINTER;
    if (iTInfo != 0)
        return DISP_E_BADINDEX;
    *ppTInfo = &typelib::VeskarTypeInfo();
    return S_OK;
}

HRESULT IVeskarDispatchImpl::GetIDsOfNames(const std::u16string& name, DISPID* pDispId) {
    if (!pDispId)
        return E_POINTER;
    const MemberDesc* m = typelib::VeskarTypeInfo().FindByName(Utf16ToUtf8(name));
    if (!m)
        return DISP_E_UNKNOWNNAME;
    *pDispId = m->dispid;
    return S_OK;
}

HRESULT IVeskarDispatchImpl::Invoke(DISPID dispId, InvokeKind kind, const VARIANT* args,
                                    unsigned argCount, VARIANT* pResult) {
    return InvokeVeskar(this, dispId, kind, args, argCount, pResult);
}

}  // namespace vsk

namespace vsk {

HRESULT IVSKManagerDispImpl::GetIDsOfNames(const std::u16string& name, DISPID* pDispId) {
    if (!pDispId)
        return E_POINTER;
    const MemberDesc* m = typelib::ManagerTypeInfo().FindByName(Utf16ToUtf8(name));
    if (!m)
        return DISP_E_UNKNOWNNAME;
    *pDispId = m->dispid;
    return S_OK;
}

}  // namespace vsk
