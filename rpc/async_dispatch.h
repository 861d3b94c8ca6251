// Calls that may wait (on a register, on the advisory lock) are not run on the automation loop:
// an object that offers IAsyncDispatch takes the call, runs it where it belongs (its port's
// worker, the lock's queue of waiters) and reports its end through `done`, while the loop goes
// on serving everyone else.
#pragma once

#include <functional>
#include <vector>

#include "rpc/com_types.h"

namespace vsk {

// Called exactly once per call, on any thread; `result` is what Invoke would have returned.
using InvokeDone = std::function<void(HRESULT hr, VARIANT result)>;

class IAsyncDispatch : public IUnknown {
public:
    // `done` may be called before InvokeAsync returns (a call that needs nothing that waits).
    virtual void InvokeAsync(DISPID dispId, InvokeKind kind, std::vector<VARIANT> args,
                             InvokeDone done) = 0;
    // The caller has gone: a call that only waits (for the lock) ends now as failed; a call
    // that talks to the register runs to its end, as the register must not be left half-way.
    virtual void CancelInvoke() = 0;

protected:
    ~IAsyncDispatch() = default;
};

constexpr IID IID_IAsyncDispatch = MakeGuid("{6C0B7E2A-3F41-4D8E-9A55-1E2F0C9D4B71}");

}  // namespace vsk
