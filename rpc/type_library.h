// The type library of the server, declared once: identities, the 89 methods of IVeskar and
// the 91 members of IVSKManager come from the two .def tables; everything else (the C++
// interface, the dispatcher, the wire stub, the client proxy, GetTypeInfo) is generated from
// these descriptions.
#pragma once

#include <string_view>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <type_traits>

#include "rpc/com_types.h"
#include "rpc/preprocessor.h"

// The name the help strings of the mode-password members end with: the newer model of the family.
#define VSK_NEWER_MODEL_NAME "Veskar-2"

namespace vsk {

// Member, class and setting names compare without regard to ASCII letter case.
bool EqualNoCase(std::string_view a, std::string_view b);

template <class T>
using InArg = std::conditional_t<std::is_same_v<T, BSTR>, const BSTR&, T>;

// The [out, retval] parameter of a method: where the method writes its value, and whether it
// did. A caller hands the address of its own variable (`&sum`); the dispatcher hands one that
// also notes the write, so that a value the method left alone (a failure, mostly) stays as the
// caller left it on the other side of the wire too. The method writes through `*out` (and may
// read back what it wrote) and hands `out` on as it is.
template <class T>
class OutArg {
public:
    OutArg(T* target) : m_target(target) {}  // implicit: a caller hands `&value`
    OutArg(std::nullptr_t) {}
    OutArg(T* target, bool* written) : m_target(target), m_written(written) {}

    explicit operator bool() const { return m_target != nullptr; }
    T& operator*() const {
        if (m_written)
            *m_written = true;
        return *m_target;
    }
    T* operator->() const { return &**this; }

private:
    T* m_target = nullptr;
    bool* m_written = nullptr;
};

enum class VarType : uint8_t { Long, Bstr, Date };
// In: [in]. RetVal: [out, retval]. Plain: no direction flag at all (passed as an input).
enum class ParamDir : uint8_t { In, RetVal, Plain };
enum class MemberKind : uint8_t { Method, Property };

template <class T>
inline constexpr VarType VarTypeOf = std::is_same_v<T, BSTR>   ? VarType::Bstr
                                     : std::is_same_v<T, DATE> ? VarType::Date
                                                               : VarType::Long;

struct ParamDesc {
    const char* name;
    VarType type;
    ParamDir dir;
};

constexpr int kMaxParams = 12;

struct MemberDesc {
    DISPID dispid = 0;
    const char* name = "";
    const char* help = "";
    MemberKind kind = MemberKind::Method;
    // IVSKManager members return a plain value; IVeskar methods return HRESULT with a retval.
    VarType result = VarType::Long;
    int paramCount = 0;
    std::array<ParamDesc, kMaxParams> params{};

    constexpr MemberDesc(DISPID id, const char* n, const char* h, MemberKind k, VarType r,
                         std::initializer_list<ParamDesc> ps)
        : dispid(id), name(n), help(h), kind(k), result(r), paramCount(int(ps.size())) {
        int i = 0;
        for (const auto& p : ps)
            params[i++] = p;
    }

    std::span<const ParamDesc> Params() const { return {params.data(), size_t(paramCount)}; }
    constexpr int InputCount() const {
        int n = 0;
        for (int i = 0; i < paramCount; ++i)
            if (params[i].dir != ParamDir::RetVal)
                ++n;
        return n;
    }
    constexpr const ParamDesc* RetVal() const {
        for (int i = 0; i < paramCount; ++i)
            if (params[i].dir == ParamDir::RetVal)
                return &params[i];
        return nullptr;
    }
};

// The description of one interface, as GetTypeInfo hands it out.
class ITypeInfo {
public:
    const char* name;
    IID iid;
    const char* help;  // "" for none
    bool dual;         // dual/nonextensible/oleautomation (IVeskar) or a pure dispinterface
    std::span<const MemberDesc> members;

    const MemberDesc* FindByDispId(DISPID id) const;
    // Names compare without letter case, as the platform's name lookup does.
    const MemberDesc* FindByName(std::string_view name) const;
};

namespace typelib {

inline constexpr const char* kLibraryName = "VSKManager";
inline constexpr GUID LIBID_VSKManager = MakeGuid("{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}");
inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 0;
inline constexpr uint32_t kLcid = 0x0409;

inline constexpr GUID IID_IVSKManager = MakeGuid("{24919A8D-2502-49CA-B37B-C348EE6E708C}");
inline constexpr GUID CLSID_VSKManager = MakeGuid("{9B739684-14D2-447F-865E-28E21576139A}");
inline constexpr GUID CLSID_Veskar = MakeGuid("{F9B424D4-51A1-40E0-8EB1-1B9097AF9811}");
inline constexpr GUID IID_IVeskar = MakeGuid("{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}");
inline constexpr GUID APPID_VSKManager = MakeGuid("{4CA564D7-4F81-4C2C-9429-6609A57D26A5}");

inline constexpr const char* kVeskarClassName = "Veskar";
inline constexpr const char* kVeskarClassHelp = "Veskar Class";
inline constexpr const char* kVeskarInterfaceHelp = "IVeskar Interface";
inline constexpr const char* kVeskarProgId = "VSKManager.Veskar.1";
inline constexpr const char* kVeskarVersionIndependentProgId = "VSKManager.Veskar";
inline constexpr const char* kManagerProgId = "VSKManager.Application";

inline constexpr MemberDesc kVeskarMethods[] = {
#define VSK_METHOD(id, name, help, ...)                            \
    MemberDesc(id, #name, help, MemberKind::Method, VarType::Long, \
               {VSK_PP_MAP(VSK_PP_DESC, __VA_ARGS__)}),
#include "rpc/veskar_methods.def"
#undef VSK_METHOD
};

inline constexpr MemberDesc kManagerMembers[] = {
#define VSK_MEMBER(id, name, kind, rtype, help, ...)                       \
    MemberDesc(id, #name, help, MemberKind::kind, VarTypeOf<::vsk::rtype>, \
               {VSK_PP_MAP(VSK_PP_DESC, __VA_ARGS__)}),
#include "rpc/manager_members.def"
#undef VSK_MEMBER
};

constexpr bool DispIdsRunFromOne(std::span<const MemberDesc> members) {
    for (size_t i = 0; i < members.size(); ++i)
        if (members[i].dispid != DISPID(i + 1))
            return false;
    return true;
}
static_assert(std::size(kVeskarMethods) == 89);
static_assert(std::size(kManagerMembers) == 91);
// The tables are written in DISPID order, so declaration order and vtable order follow.
static_assert(DispIdsRunFromOne(kVeskarMethods));
static_assert(DispIdsRunFromOne(kManagerMembers));

const ITypeInfo& VeskarTypeInfo();
const ITypeInfo& ManagerTypeInfo();

}  // namespace typelib

const char* VarTypeName(VarType t);  // "long", "BSTR", "DATE"

}  // namespace vsk
