// The dispatcher generated from the type library: IDispatch::Invoke of an IVeskar object
// converts the VARIANT inputs to each method's C++ parameter types (deduced from the member
// pointer, so the table and the signature cannot drift apart), calls the method through the
// vtable and returns the [out, retval] value as a VARIANT.
#pragma once

#include <tuple>
#include <type_traits>
#include <utility>

#include "rpc/com_types.h"
#include "rpc/iveskar.h"

namespace vsk {

constexpr HRESULT DISP_E_BADINDEX = MakeHr(0x8002000B);

namespace dispatch_detail {

inline HRESULT FromVariant(const VARIANT& v, LONG& out) {
    if (v.vt() != VT_I4)
        return DISP_E_TYPEMISMATCH;
    out = v.lVal();
    return S_OK;
}
inline HRESULT FromVariant(const VARIANT& v, DATE& out) {
    switch (v.vt()) {
        case VT_DATE:
        case VT_R8:
            out = v.dblVal();
            return S_OK;
        case VT_I4:
            out = v.lVal();
            return S_OK;
        default:
            return DISP_E_TYPEMISMATCH;
    }
}
inline HRESULT FromVariant(const VARIANT& v, BSTR& out) {
    if (v.vt() != VT_BSTR)
        return DISP_E_TYPEMISMATCH;
    out = v.bstrVal();
    return S_OK;
}
inline VARIANT ToVariant(LONG v) {
    return VARIANT::FromLong(v);
}
inline VARIANT ToVariant(const BSTR& v) {
    return VARIANT::FromBstr(v);
}

// What a parameter of type A is kept in while the method runs, and whether it is the out value.
template <class A>
struct Param {
    using Stored = std::remove_cvref_t<A>;
    static constexpr bool kOut = false;
};
template <class T>
struct Param<OutArg<T>> {
    using Stored = T;
    static constexpr bool kOut = true;
};
template <class A>
using Stored = typename Param<A>::Stored;

// The out value travels back only when the method wrote it: one it left alone (a failure,
// mostly) leaves the caller's value alone on the other side of the wire too.
template <class A, class S>
decltype(auto) Pass(S& stored, bool* written) {
    if constexpr (Param<A>::kOut)
        return A(&stored, written);
    else
        return static_cast<A>(stored);
}

template <class C, class... A, size_t... I>
HRESULT InvokeImpl(C* obj, HRESULT (C::*pm)(A...), const VARIANT* args, unsigned argCount,
                   VARIANT* result, std::index_sequence<I...>) {
    constexpr unsigned kInputs = (0u + ... + (Param<A>::kOut ? 0u : 1u));
    constexpr unsigned kOutputs = sizeof...(A) - kInputs;
    static_assert(kOutputs <= 1, "one [out, retval] at most");
    if (argCount != kInputs)
        return DISP_E_BADPARAMCOUNT;
    std::tuple<Stored<A>...> stored{};
    HRESULT hr = S_OK;
    auto convert = [&](auto index, auto tag) {
        using Arg = typename decltype(tag)::type;
        if constexpr (!Param<Arg>::kOut) {
            if (SUCCEEDED(hr))
                hr = FromVariant(args[index.value], std::get<index.value>(stored));
        }
    };
    (convert(std::integral_constant<size_t, I>{}, std::type_identity<A>{}), ...);
    (void)convert;
    if (FAILED(hr))
        return hr;
    bool written = false;
    hr = (obj->*pm)(Pass<A>(std::get<I>(stored), &written)...);
    if constexpr (kOutputs == 1) {
        if (result)
            *result = written ? ToVariant(std::get<sizeof...(A) - 1>(stored)) : VARIANT();
    } else {
        if (result)
            *result = VARIANT();
    }
    return hr;
}

template <auto Pm>
HRESULT InvokeMember(IVeskar* obj, const VARIANT* args, unsigned argCount, VARIANT* result) {
    return []<class C, class... A>(HRESULT (C::*pm)(A...), IVeskar* o, const VARIANT* a, unsigned n,
                                   VARIANT* r) {
        return InvokeImpl(static_cast<C*>(o), pm, a, n, r, std::index_sequence_for<A...>{});
    }(Pm, obj, args, argCount, result);
}

using VeskarInvoker = HRESULT (*)(IVeskar*, const VARIANT*, unsigned, VARIANT*);

inline constexpr VeskarInvoker kVeskarInvokers[] = {
#define VSK_METHOD(id, name, ...) &InvokeMember<&IVeskar::name>,
#include "rpc/veskar_methods.def"
#undef VSK_METHOD
};

}  // namespace dispatch_detail

// Invoke of IVeskar by DISPID: every method is a plain method (no property accessors).
inline HRESULT InvokeVeskar(IVeskar* obj, DISPID dispId, InvokeKind kind, const VARIANT* args,
                            unsigned argCount, VARIANT* result) {
    constexpr auto& table = dispatch_detail::kVeskarInvokers;
    if (dispId < 1 || size_t(dispId) > std::size(table) || kind != InvokeKind::Method)
        return DISP_E_MEMBERNOTFOUND;
    if (argCount > 0 && !args)
        return E_POINTER;
    return table[dispId - 1](obj, args, argCount, result);
}

// The DISPIDs of IVeskar by method name, from the same table.
enum class VeskarDispId : DISPID {
#define VSK_METHOD(id, name, ...) name = id,
#include "rpc/veskar_methods.def"
#undef VSK_METHOD
};

// The IDispatch half of a Veskar object, served from the type library.
class IVeskarDispatchImpl : public IVeskar {
public:
    HRESULT GetTypeInfoCount(unsigned* pctinfo) final;
    HRESULT GetTypeInfo(unsigned iTInfo, const ITypeInfo** ppTInfo) final;
    HRESULT GetIDsOfNames(const std::u16string& name, DISPID* pDispId) final;
    HRESULT Invoke(DISPID dispId, InvokeKind kind, const VARIANT* args, unsigned argCount,
                   VARIANT* pResult) final;
};

}  // namespace vsk
