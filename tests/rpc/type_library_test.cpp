#include <gtest/gtest.h>

#include <cstring>

#include "rpc/async_dispatch.h"
#include "rpc/dispatcher.h"
#include "rpc/failure_detail.h"
#include "rpc/query_interface.h"
#include "tests/rpc/recording_veskar.h"

namespace vsk {
namespace {

using test::RecordingVeskar;

// Vtable slot of a virtual member function (Itanium C++ ABI: the pointer holds 1 + the slot's
// byte offset).
template <class F>
size_t SlotOf(F pm) {
    struct {
        uintptr_t ptr;
        ptrdiff_t adj;
    } raw;
    static_assert(sizeof(raw) == sizeof(pm));
    std::memcpy(&raw, &pm, sizeof raw);
    return (raw.ptr - 1) / sizeof(void*);
}

TEST(TypeLibrary, IdentitiesAreTheRegisteredOnes) {
    EXPECT_EQ(GuidToString(typelib::LIBID_VSKManager), "{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}");
    EXPECT_EQ(GuidToString(typelib::CLSID_Veskar), "{F9B424D4-51A1-40E0-8EB1-1B9097AF9811}");
    EXPECT_EQ(GuidToString(typelib::IID_IVeskar), "{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}");
    EXPECT_EQ(GuidToString(typelib::IID_IVSKManager), "{24919A8D-2502-49CA-B37B-C348EE6E708C}");
    EXPECT_EQ(GuidToString(typelib::CLSID_VSKManager), "{9B739684-14D2-447F-865E-28E21576139A}");
    auto parsed = GuidFromString("{f9b424d4-51a1-40e0-8eb1-1b9097af9811}");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, typelib::CLSID_Veskar);
    for (const char* bad :
         {"", "{F9B424D4-51A1-40E0-8EB1-1B9097AF981}", "{F9B424D4-51A1-40E0-8EB1+1B9097AF9811}",
          "{F9B424D4-51A1-40E0-8EB1-1B9097AF981G}"})
        EXPECT_FALSE(GuidFromString(bad)) << bad;
}

TEST(TypeLibrary, VtableSlotFollowsDispId) {
    EXPECT_EQ(SlotOf(&IUnknown::QueryInterface), 0u);
    EXPECT_EQ(SlotOf(&IUnknown::Release), 2u);
    EXPECT_EQ(SlotOf(&IDispatch::GetTypeInfoCount), 3u);
    EXPECT_EQ(SlotOf(&IDispatch::Invoke), 6u);
    EXPECT_EQ(SlotOf(&IVeskar::FiscalLineEx), 24u);
    EXPECT_EQ(SlotOf(&IVeskar::PrintZeroZReport), 95u);
    struct Row {
        DISPID id;
        size_t slot;
        const char* name;
    };
    const Row rows[] = {
#define VSK_METHOD(id, name, ...) {id, SlotOf(&IVeskar::name), #name},
#include "rpc/veskar_methods.def"
#undef VSK_METHOD
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.slot, size_t(r.id) + 6) << r.name;
}

TEST(TypeLibrary, ManagerInterfaceHas79MethodsAnd12Properties) {
    int methods = 0, properties = 0;
    for (const auto& m : typelib::kManagerMembers)
        (m.kind == MemberKind::Method ? methods : properties)++;
    EXPECT_EQ(methods, 79);
    EXPECT_EQ(properties, 12);
    const auto* initEx = typelib::ManagerTypeInfo().FindByName("InitEx");
    ASSERT_NE(initEx, nullptr);
    EXPECT_EQ(initEx->dispid, 65);
    EXPECT_EQ(initEx->paramCount, 6);
    EXPECT_STREQ(initEx->params[5].name, "RemoteHostName");
}

TEST(TypeLibrary, MethodsCarryTheirParametersAndHelp) {
    const auto& info = typelib::VeskarTypeInfo();
    const MemberDesc* fl = info.FindByDispId(18);
    ASSERT_NE(fl, nullptr);
    EXPECT_STREQ(fl->name, "FiscalLineEx");
    EXPECT_EQ(fl->InputCount(), 10);
    ASSERT_NE(fl->RetVal(), nullptr);
    EXPECT_STREQ(fl->RetVal()->name, "ThisLineSum");
    EXPECT_STREQ(fl->params[8].name, "DiscountName");
    EXPECT_EQ(fl->params[8].type, VarType::Bstr);
    EXPECT_STREQ(fl->help,
                 "method FiscalLineEx. Prints a next check fiscal line with extended parameters");
    EXPECT_EQ(info.FindByName("SetShowPrinterStatus")->params[0].dir, ParamDir::Plain);
    EXPECT_EQ(info.FindByName("PeriodicalFiscalReportDate")->params[1].type, VarType::Date);
    EXPECT_EQ(info.FindByName("Done")->paramCount, 0);
}

TEST(Dispatcher, NamesResolveCaseInsensitively) {
    auto* obj = new RecordingVeskar;
    DISPID id = 0;
    EXPECT_EQ(obj->GetIDsOfNames(u"FiscalLineEx", &id), S_OK);
    EXPECT_EQ(id, 18);
    EXPECT_EQ(obj->GetIDsOfNames(u"fiscallineEX", &id), S_OK);
    EXPECT_EQ(id, 18);
    EXPECT_EQ(obj->GetIDsOfNames(u"FiscalLineExx", &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(obj->GetIDsOfNames(u"CheckSumm", &id), DISP_E_UNKNOWNNAME);  // IVSKManager only
    unsigned count = 0;
    EXPECT_EQ(obj->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    const ITypeInfo* ti = nullptr;
    EXPECT_EQ(obj->GetTypeInfo(0, &ti), S_OK);
    EXPECT_EQ(ti->iid, typelib::IID_IVeskar);
    EXPECT_EQ(obj->GetTypeInfo(1, &ti), DISP_E_BADINDEX);
    obj->Release();
}

// Every method can be reached by name and by DISPID, gets its inputs in declaration order and
// hands back its [out, retval] value.
TEST(Dispatcher, EveryMethodIsReachableByNameAndDispId) {
    auto* obj = new RecordingVeskar;
    for (const MemberDesc& m : typelib::kVeskarMethods) {
        DISPID id = 0;
        ASSERT_EQ(obj->GetIDsOfNames(std::u16string(m.name, m.name + std::strlen(m.name)), &id),
                  S_OK)
            << m.name;
        EXPECT_EQ(id, m.dispid);
        std::vector<VARIANT> args;
        for (int i = 0; i < m.InputCount(); ++i)
            args.push_back(test::SampleArg(m.params[i].type, i));
        VARIANT result = VARIANT::FromLong(-1);
        EXPECT_EQ(obj->Invoke(id, InvokeKind::Method, args.data(), unsigned(args.size()), &result),
                  S_OK)
            << m.name;
        EXPECT_EQ(obj->lastMethod, m.name);
        EXPECT_EQ(obj->lastArgs, args) << m.name;
        if (const ParamDesc* out = m.RetVal()) {
            if (out->type == VarType::Long)
                EXPECT_EQ(result, VARIANT::FromLong(RecordingVeskar::kLongOut)) << m.name;
            else
                EXPECT_EQ(result, VARIANT::FromBstr(RecordingVeskar::kTextOut)) << m.name;
        } else {
            EXPECT_TRUE(result.IsEmpty()) << m.name;
        }
    }
    obj->Release();
}

TEST(Dispatcher, RefusesWrongCallsWithoutCallingTheMethod) {
    auto* obj = new RecordingVeskar;
    const VARIANT one = VARIANT::FromLong(1);
    const VARIANT text = VARIANT::FromBstr(u"x");
    const VARIANT date = VARIANT::FromDate(1.5);
    struct Row {
        DISPID id;
        InvokeKind kind;
        std::vector<VARIANT> args;
        HRESULT expected;
    } rows[] = {
        {0, InvokeKind::Method, {}, DISP_E_MEMBERNOTFOUND},
        {90, InvokeKind::Method, {}, DISP_E_MEMBERNOTFOUND},
        {3, InvokeKind::PropertyGet, {}, DISP_E_MEMBERNOTFOUND},
        {3, InvokeKind::Method, {one}, DISP_E_BADPARAMCOUNT},
        {4, InvokeKind::Method, {}, DISP_E_BADPARAMCOUNT},
        {4, InvokeKind::Method, {text}, DISP_E_TYPEMISMATCH},
        {4, InvokeKind::Method, {date}, DISP_E_TYPEMISMATCH},
        {12, InvokeKind::Method, {one}, DISP_E_TYPEMISMATCH},
        {1, InvokeKind::Method, {one, text, one, one, text}, DISP_E_TYPEMISMATCH},
    };
    for (const Row& r : rows) {
        obj->lastMethod.clear();
        VARIANT result;
        EXPECT_EQ(obj->Invoke(r.id, r.kind, r.args.data(), unsigned(r.args.size()), &result),
                  r.expected)
            << "dispid " << r.id;
        EXPECT_EQ(obj->lastMethod, "") << "dispid " << r.id;
    }
    // A DATE parameter also takes a whole number of days.
    VARIANT dates[] = {VARIANT::FromLong(45000), date};
    EXPECT_EQ(obj->Invoke(51, InvokeKind::Method, dates, 2, nullptr), S_OK);
    EXPECT_EQ(obj->lastArgs[0], VARIANT::FromDate(45000));
    obj->Release();
}

// Failure results pass through unchanged and the out value still travels back: some methods
// store it on failure too.
TEST(Dispatcher, FailureKeepsOutValue) {
    auto* obj = new RecordingVeskar;
    obj->nextResult = E_FAIL;
    VARIANT result;
    EXPECT_EQ(obj->Invoke(20, InvokeKind::Method, nullptr, 0, &result), E_FAIL);
    EXPECT_EQ(result, VARIANT::FromLong(RecordingVeskar::kLongOut));
    obj->Release();
}

TEST(Dispatcher, OutValueTheMethodLeftAloneDoesNotTravel) {
    auto* obj = new RecordingVeskar;
    obj->nextResult = E_FAIL;
    obj->writesOut = false;
    for (DISPID id : {20, 39}) {  // a long and a text out value
        VARIANT result = VARIANT::FromLong(1);
        EXPECT_EQ(obj->Invoke(id, InvokeKind::Method, nullptr, 0, &result), E_FAIL) << id;
        EXPECT_EQ(result, VARIANT()) << id;
    }
    obj->Release();
}

// Whatever a method writes travels, even what once served as the mark of a value left alone.
TEST(Dispatcher, EveryValueAMethodWritesTravels) {
    auto* obj = new RecordingVeskar;
    for (LONG value : {0, -1, 0x7FFFFFF7, INT32_MAX, INT32_MIN}) {
        obj->longOut = value;
        VARIANT result;
        EXPECT_EQ(obj->Invoke(20, InvokeKind::Method, nullptr, 0, &result), S_OK);
        EXPECT_EQ(result, VARIANT::FromLong(value));
    }
    for (const BSTR& text : {BSTR(), BSTR(u"\xFFFF(unset)")}) {
        obj->textOut = text;
        VARIANT result;
        EXPECT_EQ(obj->Invoke(39, InvokeKind::Method, nullptr, 0, &result), S_OK);
        EXPECT_EQ(result, VARIANT::FromBstr(text));
    }
    obj->Release();
}

}  // namespace
}  // namespace vsk

#include "rpc/manager_dispatch.h"

namespace vsk {
namespace {

// An IVSKManager implementation that records calls: methods answer 7 or "seven", getters 11
// or "eleven".
class RecordingManager final : public IVSKManagerDispImpl {
public:
    std::string last;
    std::vector<VARIANT> args;

    HRESULT QueryInterface(const IID&, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }

#define VSK_REC_Method(name, rtype, ...)                                \
    rtype name(VSK_PP_MAP(VSK_PP_SIG, __VA_ARGS__)) override {          \
        Note(#name __VA_OPT__(, VSK_PP_MAP(VSK_PP_NAME, __VA_ARGS__))); \
        return Answer<rtype>(7, u"seven");                              \
    }
#define VSK_REC_Property(name, rtype, ...)        \
    rtype Get##name() override {                  \
        Note("get " #name);                       \
        return Answer<rtype>(11, u"eleven");      \
    }                                             \
    void Put##name(InArg<rtype> value) override { \
        Note("put " #name, value);                \
    }
#define VSK_MEMBER(id, name, kind, rtype, help, ...) \
    VSK_REC_##kind(name, rtype __VA_OPT__(, ) __VA_ARGS__)
#include "rpc/manager_members.def"
#undef VSK_MEMBER
#undef VSK_REC_Method
#undef VSK_REC_Property

private:
    template <class R>
    static R Answer(LONG n, const char16_t* text) {
        if constexpr (std::is_same_v<R, BSTR>)
            return text;
        else
            return n;
    }
    template <class... A>
    void Note(const char* what, const A&... a) {
        last = what;
        args = {Wrap(a)...};
    }
    static VARIANT Wrap(LONG v) {
        return VARIANT::FromLong(v);
    }
    static VARIANT Wrap(DATE v) {
        return VARIANT::FromDate(v);
    }
    static VARIANT Wrap(const BSTR& v) {
        return VARIANT::FromBstr(v);
    }
};

// Each IID gets its own interface's pointer (not the object's first base) and one reference.
TEST(QueryInterface, EachRowHandsOutItsInterface) {
    struct Object final : IAsyncDispatch, IFailureDetail {
        ULONG refs = 1;
        HRESULT QueryInterface(const IID& riid, void** ppv) override {
            return QueryInterfaceOf(this, riid, ppv,
                                    Answers<IAsyncDispatch>{{IID_IUnknown, IID_IAsyncDispatch}},
                                    Answers<IFailureDetail>{{IID_IFailureDetail}});
        }
        ULONG AddRef() override { return ++refs; }
        ULONG Release() override { return --refs; }
        void InvokeAsync(DISPID, InvokeKind, std::vector<VARIANT>, InvokeDone) override {}
        void CancelInvoke() override {}
        bool TakeFailureDetail(FailureDetail*) override { return false; }
    } obj;
    void* p = nullptr;
    EXPECT_EQ(obj.QueryInterface(IID_IFailureDetail, &p), S_OK);
    EXPECT_EQ(p, static_cast<IFailureDetail*>(&obj));
    EXPECT_NE(p, static_cast<void*>(static_cast<IAsyncDispatch*>(&obj)));
    EXPECT_EQ(obj.QueryInterface(IID_IUnknown, &p), S_OK);
    EXPECT_EQ(p, static_cast<IAsyncDispatch*>(&obj));
    EXPECT_EQ(obj.refs, 3u);
    EXPECT_EQ(obj.QueryInterface(IID_IDispatch, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(obj.QueryInterface(IID_IDispatch, nullptr), E_POINTER);
    EXPECT_EQ(obj.refs, 3u);
}

TEST(ManagerDispatch, MethodsAndPropertiesByDispId) {
    RecordingManager m;
    DISPID id = 0;
    ASSERT_EQ(m.GetIDsOfNames(u"initex", &id), S_OK);
    EXPECT_EQ(id, 65);
    ASSERT_EQ(m.GetIDsOfNames(u"CheckSumm", &id), S_OK);
    EXPECT_EQ(id, 20);
    EXPECT_EQ(m.GetIDsOfNames(u"GetCheckSum", &id), DISP_E_UNKNOWNNAME);  // IVeskar's name

    VARIANT r;
    VARIANT lock[] = {VARIANT::FromLong(300)};
    EXPECT_EQ(m.Invoke(4, InvokeKind::Method, lock, 1, &r), S_OK);
    EXPECT_EQ(m.last, "LockPrinter");
    EXPECT_EQ(m.args, std::vector<VARIANT>(lock, lock + 1));
    EXPECT_EQ(r, VARIANT::FromLong(7));
    EXPECT_EQ(m.Invoke(9, InvokeKind::PropertyGet, nullptr, 0, &r), S_OK);  // a method, as get
    EXPECT_EQ(m.last, "GetPrinterSerialNumber");
    EXPECT_EQ(r, VARIANT::FromBstr(u"seven"));

    EXPECT_EQ(m.Invoke(73, InvokeKind::PropertyGet, nullptr, 0, &r), S_OK);
    EXPECT_EQ(m.last, "get RegistrationModePassword");
    EXPECT_EQ(r, VARIANT::FromBstr(u"eleven"));
    VARIANT password[] = {VARIANT::FromBstr(u"1234")};
    EXPECT_EQ(m.Invoke(73, InvokeKind::PropertyPut, password, 1, &r), S_OK);
    EXPECT_EQ(m.last, "put RegistrationModePassword");
    EXPECT_EQ(m.args, std::vector<VARIANT>(password, password + 1));

    m.last.clear();
    EXPECT_EQ(m.Invoke(4, InvokeKind::PropertyPut, lock, 1, &r), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(m.Invoke(73, InvokeKind::PropertyPut, lock, 1, &r), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(m.Invoke(20, InvokeKind::PropertyPut, nullptr, 0, &r), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(m.Invoke(92, InvokeKind::Method, nullptr, 0, &r), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(m.last, "");
}

}  // namespace
}  // namespace vsk
