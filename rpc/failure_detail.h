// Why a call failed, in the words of the device: an object that knows more than its HRESULT
// says offers IFailureDetail, and the server adds it to the Invoke result ("error": {"code",
// "message"}). The HRESULT and the object's own methods stay as they are.
#pragma once

#include <string>

#include "rpc/com_types.h"

namespace vsk {

struct FailureDetail {
    std::string code;     // the register's status word or the engine's error code, e.g. SOFTUPAS
    std::string message;  // UTF-8
    // "" for a call that failed; "unconfirmed": it answered success but the register never
    // confirmed it (silent after the command); "in-doubt": a closing the register did not
    // answer, which may have printed.
    std::string outcome;
    // The kind of failure as the server names it ("NotEnoughMoney", "NoAnswer", "Refused", ...;
    // "" when the server does not say), and whether the same call again is safe: false when
    // the register may have done what the call asked.
    std::string kind;
    bool retrySafe = true;
};

class IFailureDetail : public IUnknown {
public:
    // The detail of the object's call that has just ended, once; false when there is none (a
    // call that succeeded without a doubt).
    // Called after the call's completion has been handed over, never while it runs.
    virtual bool TakeFailureDetail(FailureDetail* detail) = 0;

protected:
    ~IFailureDetail() = default;
};

constexpr IID IID_IFailureDetail = MakeGuid("{3E5A1C0D-7B2F-4E96-8C41-5D0A9F6B2E13}");

}  // namespace vsk
