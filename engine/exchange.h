// The vocabulary of one exchange with the register: the command, the rules its reply wait
// follows, and what became of it. CVSKCore::Exchange runs it: the drain of what came unasked,
// the send, the reply wait.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "resources/failure.h"

namespace vsk {

// The reply time-outs. Each message that arrives starts the time-out again.
constexpr uint32_t kReadyTimeoutMs = 3000;            // a command answered with READY alone
constexpr uint32_t kReplyTimeoutMs = 5000;            // one that prints or answers with data
constexpr uint32_t kOpeningTimeoutMs = 3000;          // a receipt's opening
constexpr uint32_t kExternalDisplayTimeoutMs = 5000;  // text passed on to the external display
constexpr uint32_t kProbeTimeoutMs = 200;             // the wake byte's answer
constexpr uint32_t kLoginStepMs = 1000;               // the login's answer, per attempt
// Before a command goes out the drain waits this long for one more message; it ends at the
// first wait that brings nothing.
constexpr uint32_t kDrainWaitMs = 5;

// One command as it goes to the register.
struct Command {
    std::string text;
    // Bytes of `text` shown as '*' in the journal (passwords).
    size_t secretBegin = 0;
    size_t secretLength = 0;
    // How long the register needs after this command before its answer is waited for.
    uint32_t pauseMs = 0;
};

// What ends the wait besides an error word and silence.
enum class ReplyEnd {
    Ready,          // READY
    DataThenReady,  // READY, once the data reply came
    Data,           // the data reply (a READY before it does not count)
    NotAwaited,     // nothing: the answer stays in the queue
};

// What a status word in the answer is.
enum class StatusRule {
    Classified,  // classified: a warning goes on, an error ends the wait
    Unrecorded,  // it ends the wait, and the error lists stay as they were
    HardOnly,    // only "HARD" and "SHUTDOWN" words are status words (the wake byte's answer)
};

// What a silent register leaves behind.
enum class SilenceRule {
    Ignored,   // nothing: the caller retries on its own
    Recorded,  // "CONNTIMEOUT" is recorded, and the late answer is watched for
    Shown,     // recorded, and shown to the operator
};

// The rules of one reply wait, named by what it waits for.
struct ReplyRules {
    uint32_t timeoutMs = kReadyTimeoutMs;
    ReplyEnd end = ReplyEnd::Ready;
    StatusRule status = StatusRule::Classified;
    SilenceRule silence = SilenceRule::Recorded;
    std::array<std::string_view, 2> replyWords{};  // the data reply's words; empty: none
    // The wait journals itself as the ready wait ("WaitForReadyMsg(Timeout = ...)").
    bool journaled = false;

    // The ready wait of most commands: journaled; a silent register is recorded, not shown.
    static constexpr ReplyRules ReadyMsg(uint32_t timeoutMs = kReadyTimeoutMs) {
        return {.timeoutMs = timeoutMs, .journaled = true};
    }
    // READY of a command whose silence the operator sees.
    static constexpr ReplyRules Ready(uint32_t timeoutMs = kReplyTimeoutMs) {
        return {.timeoutMs = timeoutMs, .silence = SilenceRule::Shown};
    }
    // A data reply, then READY: the figures show that this READY is the command's own.
    static constexpr ReplyRules DataThenReady(std::string_view word) {
        return {.timeoutMs = kReplyTimeoutMs,
                .end = ReplyEnd::DataThenReady,
                .silence = SilenceRule::Shown,
                .replyWords = {word, {}}};
    }
    // A query: its data reply ends the wait.
    static constexpr ReplyRules EndOnData(std::string_view word, std::string_view other = {}) {
        return {.timeoutMs = kReplyTimeoutMs,
                .end = ReplyEnd::Data,
                .silence = SilenceRule::Shown,
                .replyWords = {word, other}};
    }
    // The wake byte's answer: READY, or a hardware word; silence is the next attempt's business.
    static constexpr ReplyRules Probe() {
        return {.timeoutMs = kProbeTimeoutMs,
                .status = StatusRule::HardOnly,
                .silence = SilenceRule::Ignored};
    }
    // The command is only sent.
    static constexpr ReplyRules SendOnly() { return {.end = ReplyEnd::NotAwaited}; }

    constexpr ReplyRules With(SilenceRule rule) const {
        ReplyRules rules = *this;
        rules.silence = rule;
        return rules;
    }
    constexpr ReplyRules With(StatusRule rule) const {
        ReplyRules rules = *this;
        rules.status = rule;
        return rules;
    }
};

// What an operation's status hook makes of a status word before the rules do.
enum class StatusHook { Classify, Drop, Fail };

struct ReplyHooks {
    std::function<StatusHook(const std::string&)> onStatus;  // runs before the classifier
    std::function<void(const std::string&)> onData;          // the data reply, as it came
};

// What became of one exchange: the answer the rules wanted, or why not.
struct ExchangeResult {
    std::optional<Failure> failure;  // none: answered as the rules wanted
    bool sent = true;                // false: nothing reached the line
    bool deviceLost = false;         // the device went away while the answer was awaited

    bool Ready() const { return !failure; }
    // The command went out and the register stayed silent: it may still have done it.
    bool TimedOut() const { return sent && failure && failure->fault == Fault::NoAnswer; }
    // The command went out and no answer will tell what became of it: silence, or a device
    // that went away under it (which fails the call, but may have printed all the same).
    bool MayHaveBeenDone() const { return TimedOut() || (sent && deviceLost); }
    // Refused: by the register's word, or before anything went out.
    bool Failed() const { return failure && !TimedOut(); }
};

}  // namespace vsk
