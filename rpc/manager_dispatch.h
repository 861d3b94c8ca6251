// IVSKManager: the late-bound dispatch interface of the VSKManager.Application proxy, declared
// from the type library table. Methods return their value directly (the proxy never reports a
// failure status); each property has a getter Get<Name> and a setter Put<Name>. The
// dispatcher below serves IDispatch for an implementation from the same table.
#pragma once

#include <type_traits>

#include "rpc/dispatcher.h"
#include "rpc/type_library.h"

namespace vsk {

class IVSKManagerDisp : public IDispatch {
public:
#define VSK_MANAGER_DECL_Method(name, rtype, ...) \
    virtual ::vsk::rtype name(VSK_PP_MAP(VSK_PP_SIG, __VA_ARGS__)) = 0;
#define VSK_MANAGER_DECL_Property(name, rtype, ...) \
    virtual ::vsk::rtype Get##name() = 0;           \
    virtual void Put##name(::vsk::InArg<::vsk::rtype> value) = 0;
#define VSK_MEMBER(id, name, kind, rtype, help, ...) \
    VSK_MANAGER_DECL_##kind(name, rtype __VA_OPT__(, ) __VA_ARGS__)
#include "rpc/manager_members.def"
#undef VSK_MEMBER
#undef VSK_MANAGER_DECL_Method
#undef VSK_MANAGER_DECL_Property
};

namespace dispatch_detail {

template <class C, class R, class... A, size_t... I>
HRESULT InvokeValueImpl(C* obj, R (C::*pm)(A...), const VARIANT* args, unsigned argCount,
                        VARIANT* result, std::index_sequence<I...>) {
    if (argCount != sizeof...(A))
        return DISP_E_BADPARAMCOUNT;
    std::tuple<std::remove_cvref_t<A>...> stored{};
    HRESULT hr = S_OK;
    ((hr = SUCCEEDED(hr) ? FromVariant(args[I], std::get<I>(stored)) : hr), ...);
    if (FAILED(hr))
        return hr;
    if constexpr (std::is_void_v<R>) {
        (obj->*pm)(std::get<I>(stored)...);
        if (result)
            *result = VARIANT();
    } else {
        R value = (obj->*pm)(std::get<I>(stored)...);
        if (result)
            *result = ToVariant(value);
    }
    return S_OK;
}

template <auto Pm>
HRESULT InvokeValue(IVSKManagerDisp* obj, const VARIANT* args, unsigned argCount, VARIANT* result) {
    return []<class C, class R, class... A>(R (C::*pm)(A...), IVSKManagerDisp* o, const VARIANT* a,
                                            unsigned n, VARIANT* r) {
        return InvokeValueImpl(static_cast<C*>(o), pm, a, n, r, std::index_sequence_for<A...>{});
    }(Pm, obj, args, argCount, result);
}

using ManagerInvoker = HRESULT (*)(IVSKManagerDisp*, const VARIANT*, unsigned, VARIANT*);

// Per member: the method, or the property's getter and setter.
struct ManagerEntry {
    ManagerInvoker call;
    ManagerInvoker get;
    ManagerInvoker put;
};

#define VSK_MANAGER_ENTRY_Method(name) {&InvokeValue<&IVSKManagerDisp::name>, nullptr, nullptr},
#define VSK_MANAGER_ENTRY_Property(name) \
    {nullptr, &InvokeValue<&IVSKManagerDisp::Get##name>, &InvokeValue<&IVSKManagerDisp::Put##name>},
inline constexpr ManagerEntry kManagerEntries[] = {
#define VSK_MEMBER(id, name, kind, ...) VSK_MANAGER_ENTRY_##kind(name)
#include "rpc/manager_members.def"
#undef VSK_MEMBER
};
#undef VSK_MANAGER_ENTRY_Method
#undef VSK_MANAGER_ENTRY_Property

}  // namespace dispatch_detail

// Invoke of IVSKManager by DISPID. A method also answers a property-get call (late-bound
// callers often ask for both), a property also answers a method call without arguments.
inline HRESULT InvokeManager(IVSKManagerDisp* obj, DISPID dispId, InvokeKind kind,
                             const VARIANT* args, unsigned argCount, VARIANT* result) {
    constexpr auto& table = dispatch_detail::kManagerEntries;
    if (dispId < 1 || size_t(dispId) > std::size(table))
        return DISP_E_MEMBERNOTFOUND;
    if (argCount > 0 && !args)
        return E_POINTER;
    const auto& entry = table[dispId - 1];
    dispatch_detail::ManagerInvoker invoker = nullptr;
    if (entry.call)
        invoker = kind == InvokeKind::PropertyPut ? nullptr : entry.call;
    else
        invoker = kind == InvokeKind::PropertyPut ? entry.put : entry.get;
    if (!invoker)
        return DISP_E_MEMBERNOTFOUND;
    return invoker(obj, args, argCount, result);
}

// The IDispatch half of an IVSKManager implementation, served from the type library.
class IVSKManagerDispImpl : public IVSKManagerDisp {
public:
    HRESULT GetTypeInfoCount(unsigned* pctinfo) final {
        if (!pctinfo)
            return E_POINTER;
        *pctinfo = 1;
        return S_OK;
    }
    HRESULT GetTypeInfo(unsigned iTInfo, const ITypeInfo** ppTInfo) final {
        if (!ppTInfo)
            return E_POINTER;
        if (iTInfo != 0)
            return DISP_E_BADINDEX;
        *ppTInfo = &typelib::ManagerTypeInfo();
        return S_OK;
    }
    HRESULT GetIDsOfNames(const std::u16string& name, DISPID* pDispId) final;
    HRESULT Invoke(DISPID dispId, InvokeKind kind, const VARIANT* args, unsigned argCount,
                   VARIANT* pResult) final {
        return InvokeManager(this, dispId, kind, args, argCount, pResult);
    }
};

}  // namespace vsk
