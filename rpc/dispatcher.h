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

template <class A>
using Stored = std::remove_cvref_t<std::remove_pointer_t<A>>;

// A method that left its out value untouched (a failure, mostly) must leave the caller's value
// alone on the other side of the wire too, so the out value starts as a mark that no method
// writes, and travels back only when the method set it.
constexpr LONG kUnsetLong = 0x7FFFFFF7;
inline const BSTR& UnsetText() {
    static const BSTR text = u"\xFFFF(unset)";
    return text;
}
inline void MarkUnset(LONG& v) {
    v = kUnsetLong;
}
inline void MarkUnset(BSTR& v) {
    v = UnsetText();
}
inline bool IsUnset(LONG v) {
    return v == kUnsetLong;
}
inline bool IsUnset(const BSTR& v) {
    return v == UnsetText();
}

template <class A, class S>
decltype(auto) Pass(S& stored) {
    if constexpr (std::is_pointer_v<A>)
        return &stored;
    else
        return static_cast<A>(stored);
}

template <class C, class... A, size_t... I>
HRESULT InvokeImpl(C* obj, HRESULT (C::*pm)(A...), const VARIANT* args, unsigned argCount,
                   VARIANT* result, std::index_sequence<I...>) {
    constexpr unsigned kInputs = (0u + ... + (std::is_pointer_v<A> ? 0u : 1u));
    constexpr unsigned kOutputs = sizeof...(A) - kInputs;
    static_assert(kOutputs <= 1, "one [out, retval] at most");
    if (argCount != kInputs)
        return DISP_E_BADPARAMCOUNT;
    std::tuple<Stored<A>...> stored{};
    HRESULT hr = S_OK;
    auto convert = [&](auto index, auto tag) {
        using Arg = typename decltype(tag)::type;
        if constexpr (!std::is_pointer_v<Arg>) {
            if (SUCCEEDED(hr))
                hr = FromVariant(args[index.value], std::get<index.value>(stored));
        }
    };
    (convert(std::integral_constant<size_t, I>{}, std::type_identity<A>{}), ...);
    (void)convert;
    if (FAILED(hr))
        return hr;
    if constexpr (kOutputs == 1)
        MarkUnset(std::get<sizeof...(A) - 1>(stored));
    hr = (obj->*pm)(Pass<A>(std::get<I>(stored))...);
    if constexpr (kOutputs == 1) {
        auto& out = std::get<sizeof...(A) - 1>(stored);
        if (result)
            *result = IsUnset(out) ? VARIANT() : ToVariant(out);
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
