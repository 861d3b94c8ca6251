// QueryInterface from a table: each row names one interface of the object and the IIDs it
// answers to; the reference handed out is counted by the object's own AddRef.
//
//     return QueryInterfaceOf(this, riid, ppv,
//                             Answers<IVeskar>{{IID_IUnknown, IID_IDispatch, IID_IVeskar}},
//                             Answers<IAsyncDispatch>{{IID_IAsyncDispatch}});
#pragma once

#include <initializer_list>

#include "rpc/com_types.h"

namespace vsk {

template <class Interface>
struct Answers {
    std::initializer_list<IID> iids;

    bool Has(const IID& riid) const {
        for (const IID& iid : iids)
            if (iid == riid)
                return true;
        return false;
    }
};

template <class Object, class... Interfaces>
HRESULT QueryInterfaceOf(Object* self, const IID& riid, void** ppv, Answers<Interfaces>... rows) {
    if (!ppv)
        return E_POINTER;
    void* found = nullptr;
    ((found = found ? found : rows.Has(riid) ? static_cast<Interfaces*>(self) : nullptr), ...);
    *ppv = found;
    if (!found)
        return E_NOINTERFACE;
    self->AddRef();
    return S_OK;
}

}  // namespace vsk
