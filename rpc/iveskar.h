// IVeskar: the dual interface of the Veskar class, declared from the type library table in
// DISPID order, so method n sits in vtable slot n + 6 after IUnknown and IDispatch.
#pragma once

#include "rpc/com_types.h"
#include "rpc/type_library.h"

namespace vsk {

class IVeskar : public IDispatch {
public:
#define VSK_METHOD(id, name, help, ...) \
    virtual HRESULT name(VSK_PP_MAP(VSK_PP_SIG, __VA_ARGS__)) = 0;
#include "rpc/veskar_methods.def"
#undef VSK_METHOD
};

}  // namespace vsk
