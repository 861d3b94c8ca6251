// The command exchange: drain what came unasked, send one command, then read the register's
// messages until READY, an error word, the awaited data reply or silence. Every operation runs
// this one exchange.
// A reply belongs to its command: the READY behind another command's data reply, or the late
// answer of a command whose wait ran out, never ends a later command's wait.
#include <algorithm>
#include <utility>

#include "engine/error_catalogue.h"
#include "engine/vsk_core.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace {

// The words the register's data replies begin with, for every command that has one.
constexpr std::string_view kDataReplyWords[] = {"FISC", "COMP", "CONF", "CONf", "CNAL", "GLCN",
                                                "dset", "ARTD", "CFIS", "GETD", "CCAS"};

bool IsDataReply(std::string_view text) {
    return std::any_of(std::begin(kDataReplyWords), std::end(kDataReplyWords),
                       [text](std::string_view word) { return text.substr(0, 4) == word; });
}

bool IsSaleLineWord(std::string_view word) {
    return word == "FISC" || word == "BFIS" || word == "FICD" || word == "BFCD";
}

// Warnings come before the READY of an answer and do not end it; neither does a full copy
// buffer, which the register reports in the middle of a sale line's answer.
bool EndsAnswer(const std::string& text) {
    const vsk::StatusWord* row = vsk::FindStatusWord(text);
    return !(row && row->kind == vsk::StatusKind::Warning) && !vsk::Contains(text, "SOFTCOPY");
}

}  // namespace

vsk::ExchangeResult CVSKCore::Exchange(const vsk::Command& command, const vsk::ReplyRules& rules,
                                       const vsk::ReplyHooks& hooks) {
    Send(command);
    if (command.pauseMs != 0) {
        m_clock.Sleep(command.pauseMs);
    }
    return AwaitReply(rules, hooks);
}

int16_t CVSKCore::ExchangeReady(const vsk::Command& command, uint32_t timeoutMs,
                                const vsk::ReplyHooks& hooks) {
    return Exchange(command, vsk::ReplyRules::ReadyMsg(timeoutMs), hooks).Failed() ? 0 : 1;
}

bool CVSKCore::SendToPrinter(std::string_view text, size_t secretBegin, size_t secretLength) {
    return Send(
        {.text = std::string(text), .secretBegin = secretBegin, .secretLength = secretLength});
}

int16_t CVSKCore::WaitForReadyMsg(uint32_t timeoutMs) {
    return AwaitReply(vsk::ReplyRules::ReadyMsg(timeoutMs), {}).Failed() ? 0 : 1;
}

bool CVSKCore::Send(const vsk::Command& command) {
    // The device went away since the last command: this command opens it again first.
    if (m_channel.DeviceGone() && !m_bReopening) {
        LoseDevice();
    }
    if (m_bDeviceLost && !m_bReopening && !Reopen()) {
        m_refusedSend = m_lastFailure;
        m_journal.LogFormat("%s not sent: the device is not back",
                            command.text.substr(0, 4).c_str());
        return false;
    }
    CatchUpLateAnswer();
    const std::string_view text = command.text;
    const std::string word(text.substr(0, 4));
    m_szLastCommandWord = word;
    m_sentAtMs = m_clock.NowMs();
    m_bSendUnconfirmed = false;
    // Right after the pending-error check a second drain would only wait its 5 ms again for
    // nothing: the queue was just found quiet. Anything that came meanwhile still gets drained.
    const bool drain = !(std::exchange(m_bJustDrained, false) && m_queue.IsEmpty());
    m_refusedSend = drain ? DrainQueue() : std::nullopt;
    if (m_refusedSend) {
        m_journal.LogFormat("%s not sent: the register reported %s before it", word.c_str(),
                            PeekLastErrorCode().c_str());
        return false;
    }
    const vsk::SendOutcome outcome =
        m_channel.Send(text, command.secretBegin, command.secretLength);
    if (outcome != vsk::SendOutcome::Sent) {
        m_refusedSend = RefusedSend(outcome, word);
        return false;
    }
    m_stats->Sent(text.size());
    return true;
}

std::optional<vsk::Failure> CVSKCore::DrainQueue() {
    for (;;) {
        if (!m_clock.Wait(m_queue.Event(), vsk::kDrainWaitMs) || m_queue.IsEmpty()) {
            return std::nullopt;
        }
        const std::string text = m_queue.PeekText();
        if (!vsk::IsStatusText(text) || ClassifyStatus(text)) {
            m_queue.Pop();
            continue;
        }
        m_queue.Clear();
        return vsk::StatusFailure(text);
    }
}

vsk::Failure CVSKCore::RefusedSend(vsk::SendOutcome outcome, const std::string& word) {
    // The operations cut what they send; a text that still does not fit is a figure that
    // overflows its field as far as the client can tell.
    if (outcome == vsk::SendOutcome::DeviceGone) {
        m_journal.LogFormat("%s not sent: the device went away", word.c_str());
        return LoseDevice();
    }
    const bool tooLong = outcome == vsk::SendOutcome::TooLong;
    const vsk::Failure failure =
        vsk::EngineFailure(tooLong ? vsk::Fault::Overflow : vsk::Fault::PortUnavailable);
    RecordFailure(failure);
    if (tooLong) {
        m_journal.LogFormat("%s not sent: the command is too long for a frame", word.c_str());
    } else {
        m_journal.LogFormat("%s not sent: %s", word.c_str(),
                            outcome == vsk::SendOutcome::PortClosed
                                ? "the port is closed"
                                : "the port refused the write (unplugged?)");
    }
    return failure;
}

bool CVSKCore::PendingErrorCheck() {
    // A late answer's error word is about the command that timed out, not a waiting error.
    CatchUpLateAnswer();
    m_bJustDrained = !DrainQueue();
    return m_bJustDrained;
}

std::string CVSKCore::GetNextMessage(uint32_t timeoutMs) {
    return m_queue.GetNextMessage(timeoutMs, m_clock);
}

vsk::ExchangeResult CVSKCore::AwaitReply(const vsk::ReplyRules& rules,
                                         const vsk::ReplyHooks& hooks) {
    if (rules.end == vsk::ReplyEnd::NotAwaited) {
        // The answer stays in the queue for the client or the next wait.
        std::optional<vsk::Failure> refused = std::exchange(m_refusedSend, std::nullopt);
        return {.failure = refused, .sent = !refused};
    }
    if (rules.journaled) {
        m_journal.LogFormat("WaitForReadyMsg(Timeout = %ld)", static_cast<long>(rules.timeoutMs));
    }
    m_bJustDrained = false;
    vsk::ExchangeResult result;
    if (std::optional<vsk::Failure> refused = std::exchange(m_refusedSend, std::nullopt)) {
        result = {.failure = std::move(refused), .sent = false};  // there is no answer to wait for
    } else {
        result = RunReplyWait(rules, hooks);
    }
    if (rules.journaled) {
        // A silent register is recorded but not shown, and still counts as done.
        m_journal.LogFormat("WaitForReadyMsg: Result = %d", result.Failed() ? 0 : 1);
    }
    return result;
}

// What one reply wait has seen so far.
struct CVSKCore::ReplyProgress {
    bool dataCame = false;
    // Another command's data reply came: the next READY ends that command's answer, not ours.
    bool foreignAnswer = false;
    std::string lateLineReply;
    std::string lateCloseReply;
    std::string paper;  // what the answer said about the paper
};

vsk::ExchangeResult CVSKCore::RunReplyWait(const vsk::ReplyRules& rules,
                                           const vsk::ReplyHooks& hooks) {
    ReplyProgress progress;
    for (;;) {
        // Each message that arrives starts the time-out again.
        const bool signalled = m_clock.Wait(m_queue.Event(), rules.timeoutMs);
        if (m_queue.IsEmpty()) {
            if (m_channel.DeviceGone()) {
                return {.failure = LoseDevice(), .deviceLost = true};
            }
            if (signalled) {
                m_queue.SettleEvent();  // the event outlived the last message
                continue;
            }
            return ReplyTimedOut(rules);
        }
        if (std::optional<vsk::ExchangeResult> end =
                TakeReply(m_queue.PeekText(), rules, hooks, progress)) {
            m_queue.Clear();
            return *end;
        }
        m_queue.Pop();
    }
}

std::optional<vsk::ExchangeResult> CVSKCore::TakeReply(const std::string& text,
                                                       const vsk::ReplyRules& rules,
                                                       const vsk::ReplyHooks& hooks,
                                                       ReplyProgress& progress) {
    m_stats->Received(text.size());
    if (vsk::Contains(text, "HARDPAPER"))
        progress.paper = "out";
    else if (vsk::Contains(text, "SOFTPAPER"))
        progress.paper = "low";
    const bool status = rules.status == vsk::StatusRule::HardOnly
                            ? vsk::Contains(text, "HARD") || vsk::Contains(text, "SHUTDOWN")
                            : vsk::IsStatusText(text);
    if (status) {
        return TakeStatus(text, rules, hooks, progress);
    }
    if (vsk::Contains(text, rules.replyWords[0]) || vsk::Contains(text, rules.replyWords[1])) {
        if (hooks.onData) {
            hooks.onData(text);
        }
        if (rules.end == vsk::ReplyEnd::Data) {
            Replied("READY", progress);
            return vsk::ExchangeResult{};
        }
        progress.dataCame = true;
    } else if (IsDataReply(text)) {
        progress.foreignAnswer = true;
        // A sale line in doubt that the register answers only now was printed after all.
        progress.lateLineReply = m_lineInDoubt && text.rfind("FISC", 0) == 0 ? text : "";
        // So was a closing in doubt whose figures come now.
        progress.lateCloseReply = CloseInDoubt() && text.rfind("COMP", 0) == 0 ? text : "";
    } else if (vsk::Contains(text, "READY")) {
        if (progress.foreignAnswer) {
            EndForeignAnswer(progress);
        } else if (progress.dataCame || rules.end == vsk::ReplyEnd::Ready) {
            Replied("READY", progress);
            return vsk::ExchangeResult{};
        }
    }
    return std::nullopt;
}

std::optional<vsk::ExchangeResult> CVSKCore::TakeStatus(const std::string& text,
                                                        const vsk::ReplyRules& rules,
                                                        const vsk::ReplyHooks& hooks,
                                                        ReplyProgress& progress) {
    const vsk::StatusHook hook = hooks.onStatus ? hooks.onStatus(text) : vsk::StatusHook::Classify;
    if (hook == vsk::StatusHook::Drop) {
        return std::nullopt;
    }
    if (hook == vsk::StatusHook::Fail || rules.status == vsk::StatusRule::Unrecorded ||
        !ClassifyStatus(text)) {
        vsk::Failure failure = vsk::StatusFailure(text);
        Replied(failure.word, progress);
        return vsk::ExchangeResult{.failure = std::move(failure)};
    }
    return std::nullopt;  // a warning: the answer goes on
}

void CVSKCore::EndForeignAnswer(ReplyProgress& progress) {
    progress.foreignAnswer = false;
    if (!progress.lateLineReply.empty()) {
        m_journal.LogFormat("Late reply to FISC came during %s: %s", m_szLastCommandWord.c_str(),
                            progress.lateLineReply.c_str());
        CountLateLine(std::exchange(progress.lateLineReply, {}));
    }
    if (!progress.lateCloseReply.empty()) {
        m_journal.LogFormat("Late reply to COMP came during %s: %s", m_szLastCommandWord.c_str(),
                            progress.lateCloseReply.c_str());
        CloseLate(std::exchange(progress.lateCloseReply, {}));
    }
}

vsk::ExchangeResult CVSKCore::ReplyTimedOut(const vsk::ReplyRules& rules) {
    if (rules.silence != vsk::SilenceRule::Ignored) {
        RecordFault(vsk::Fault::NoAnswer);
        if (rules.silence == vsk::SilenceRule::Shown) {
            ShowLastError(vsk::MsgIcon::Stop, vsk::MsgButtons::Ok);
        }
        // The connection's probe and login retry on their own; everything else may still be
        // answered, and that answer must not be taken for the next command's.
        m_lateAnswer = LateAnswer{m_szLastCommandWord, m_clock.NowMs()};
        m_stats->TimedOut();
        m_bSendUnconfirmed = true;
    }
    return {.failure = vsk::EngineFailure(vsk::Fault::NoAnswer)};
}

void CVSKCore::Replied(const std::string& word, const ReplyProgress& progress) {
    // Only what prints speaks of the paper: the latest warning stands until another.
    const int64_t latency = m_sentAtMs ? m_clock.NowMs() - *m_sentAtMs : -1;
    m_sentAtMs.reset();
    m_stats->Replied(word, latency, progress.paper);
}

void CVSKCore::CatchUpLateAnswer() {
    if (!m_lateAnswer) {
        return;
    }
    const LateAnswer late = *std::exchange(m_lateAnswer, std::nullopt);
    // Quiet for a whole reply time-out after the last thing heard: nothing more is coming.
    const int64_t quietMs = vsk::kReplyTimeoutMs;
    // A register that keeps talking without ending is not waited for beyond this.
    const int64_t giveUpAt = m_clock.NowMs() + 4 * quietMs;
    int64_t lastHeard = late.since;
    std::string heard;
    std::string fiscReply;
    std::string compReply;
    bool ended = false;
    bool accepted = false;
    while (!ended && m_clock.NowMs() < giveUpAt) {
        if (m_queue.IsEmpty()) {
            if (m_channel.DeviceGone()) {
                break;  // nothing more comes from a device that went away
            }
            const int64_t left = std::min(lastHeard + quietMs, giveUpAt) - m_clock.NowMs();
            if (left <= 0) {
                break;
            }
            if (m_clock.Wait(m_queue.Event(), static_cast<uint32_t>(left))) {
                m_queue.SettleEvent();
            }
            continue;
        }
        const std::string text = m_queue.PeekText();
        m_queue.Pop();
        lastHeard = m_clock.NowMs();
        heard += (heard.empty() ? "" : ";") + text;
        if (vsk::IsStatusText(text)) {
            ended = EndsAnswer(text);
        } else if (text.rfind("FISC", 0) == 0) {
            fiscReply = text;
        } else if (text.rfind("COMP", 0) == 0) {
            compReply = text;
        } else if (vsk::Contains(text, "READY")) {
            ended = accepted = true;
        }
    }
    const bool lineCounted = accepted && m_lineInDoubt && m_bCheckOpen &&
                             (!fiscReply.empty() || IsSaleLineWord(late.command));
    // Only the closing figures show that the READY is the closing's own.
    const bool closing = late.command == "COMP" && CloseInDoubt();
    const bool closedLate = closing && accepted && !compReply.empty();
    // The journal drops a line that is too long: a chatty register is shown by its beginning.
    constexpr size_t kShown = 200;
    if (heard.size() > kShown) {
        heard = heard.substr(0, kShown) + "...";
    }
    if (heard.empty()) {
        m_journal.LogFormat("No late reply to %s: the register stayed silent",
                            late.command.c_str());
    } else {
        m_journal.LogFormat("Late reply to %s %s%s: %s%s", late.command.c_str(),
                            closedLate ? "taken" : "dropped", ended ? "" : " unfinished",
                            heard.c_str(),
                            lineCounted ? " (the line was printed: counted in the receipt)" : "");
    }
    if (lineCounted) {
        CountLateLine(fiscReply);
    } else if (ended) {
        m_lineInDoubt.reset();  // answered: refused, or not a sale line
    }
    if (closedLate) {
        CloseLate(compReply);
    } else if (closing && ended && !accepted) {
        m_closeOutcome = CloseOutcome::Refused;  // the receipt stays open, nothing printed
        m_journal.WriteLogLine("The closing in doubt was refused: the receipt stays open");
    }
}
