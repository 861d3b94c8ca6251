// A Veskar object that records every call (method name and inputs) and answers with fixed out
// values: the far end for dispatcher, wire and proxy tests.
#pragma once

#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "rpc/dispatcher.h"

namespace vsk::test {

class RecordingVeskar final : public IVeskarDispatchImpl {
public:
    static constexpr LONG kLongOut = 4242;
    static inline const BSTR kTextOut = u"Відповідь";

    std::string lastMethod;
    std::vector<VARIANT> lastArgs;
    HRESULT nextResult = S_OK;
    bool writesOut = true;  // false: out values are left as they came
    LONG longOut = kLongOut;
    BSTR textOut = kTextOut;
    int refs = 1;
    int* destroyed = nullptr;  // counts destroyed objects
    // When set, every call is also written here as "Name" (for tests with the server on
    // another thread).
    struct Log {
        std::mutex mutex;
        std::vector<std::string> calls;
        std::vector<std::vector<VARIANT>> args;
    }* log = nullptr;

    HRESULT QueryInterface(const IID& riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == typelib::IID_IVeskar) {
            *ppv = static_cast<IVeskar*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ULONG(++refs); }
    ULONG Release() override {
        int left = --refs;
        if (left == 0) {
            if (destroyed)
                ++*destroyed;
            delete this;
        }
        return ULONG(left);
    }

#define VSK_METHOD(id, name, help, ...)                               \
    HRESULT name(VSK_PP_MAP(VSK_PP_SIG, __VA_ARGS__)) override {      \
        lastMethod = #name;                                           \
        lastArgs.clear();                                             \
        Record(0 __VA_OPT__(, VSK_PP_MAP(VSK_PP_NAME, __VA_ARGS__))); \
        Publish();                                                    \
        return nextResult;                                            \
    }
#include "rpc/veskar_methods.def"
#undef VSK_METHOD

private:
    void Publish() {
        if (!log)
            return;
        std::lock_guard lock(log->mutex);
        log->calls.push_back(lastMethod);
        log->args.push_back(lastArgs);
    }
    template <class... A>
    void Record(int, const A&... args) {
        (RecordOne(args), ...);
    }
    void RecordOne(LONG v) {
        lastArgs.push_back(VARIANT::FromLong(v));
    }
    void RecordOne(DATE v) {
        lastArgs.push_back(VARIANT::FromDate(v));
    }
    void RecordOne(const BSTR& v) {
        lastArgs.push_back(VARIANT::FromBstr(v));
    }
    void RecordOne(OutArg<LONG> out) {
        if (writesOut)
            *out = longOut;
    }
    void RecordOne(OutArg<BSTR> out) {
        if (writesOut)
            *out = textOut;
    }
};

// A valid input for a parameter of the given type.
inline VARIANT SampleArg(VarType t, int index) {
    switch (t) {
        case VarType::Long:
            return VARIANT::FromLong(100 + index);
        case VarType::Date:
            return VARIANT::FromDate(45000.5 + index);
        case VarType::Bstr:
            break;
    }
    return VARIANT::FromBstr(u"arg" + std::u16string(1, char16_t(u'0' + index)));
}

}  // namespace vsk::test
