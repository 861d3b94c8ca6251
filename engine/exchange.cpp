// The command exchange: send one command, then read the register's messages until READY, an
// error word, the awaited data reply or silence. Every operation runs the same reply wait.
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

bool CVSKCore::SendToPrinter(std::string_view text, size_t secretBegin, size_t secretLength) {
    CatchUpLateAnswer();
    m_szLastCommandWord = std::string(text.substr(0, 4));
    m_sentAtMs = m_clock.NowMs();
    m_bSendUnconfirmed = false;
    // Right after the pending-error check a second drain would only wait its 5 ms again for
    // nothing: the queue was just found quiet. Anything that came meanwhile still gets drained.
    const bool drain = !(std::exchange(m_bJustDrained, false) && m_queue.IsEmpty());
    const vsk::SendOutcome outcome =
        m_channel.Send(text, drain ? this : nullptr, secretBegin, secretLength);
    m_bSendRefused = outcome != vsk::SendOutcome::Sent;
    if (m_bSendRefused) {
        NoteRefusedSend(outcome, text);
        return false;
    }
    m_stats->Sent(text.size());
    return true;
}

void CVSKCore::NoteRefusedSend(vsk::SendOutcome outcome, std::string_view text) {
    const std::string word(text.substr(0, 4));
    switch (outcome) {
        case vsk::SendOutcome::ErrorWaiting:
            m_journal.LogFormat("%s not sent: the register reported %s before it", word.c_str(),
                                PeekLastErrorCode().c_str());
            return;
        case vsk::SendOutcome::TooLong:
            // The operations cut what they send; a text that still does not fit is a figure
            // that overflows its field as far as the client can tell.
            RecordFault(vsk::Fault::Overflow);
            m_journal.LogFormat("%s not sent: the command is too long for a frame", word.c_str());
            return;
        case vsk::SendOutcome::PortClosed:
        case vsk::SendOutcome::WriteFailed:
            RecordFault(vsk::Fault::PortUnavailable);
            m_journal.LogFormat("%s not sent: %s", word.c_str(),
                                outcome == vsk::SendOutcome::PortClosed
                                    ? "the port is closed"
                                    : "the port refused the write (unplugged?)");
            return;
        case vsk::SendOutcome::Sent:
            return;
    }
}

bool CVSKCore::PendingErrorCheck() {
    // A late answer's error word is about the command that timed out, not a waiting error.
    CatchUpLateAnswer();
    m_bJustDrained = m_channel.PreSendDrain(*this);
    return m_bJustDrained;
}

std::string CVSKCore::GetNextMessage(uint32_t timeoutMs) {
    return m_queue.GetNextMessage(timeoutMs, m_clock);
}

CVSKCore::WaitEnd CVSKCore::RunReplyWait(const ReplyWait& wait) {
    m_bJustDrained = false;
    if (std::exchange(m_bSendRefused, false)) {
        return WaitEnd::Failed;  // nothing went out: there is no answer to wait for
    }
    bool dataCame = false;
    // Another command's data reply came: the next READY ends that command's answer, not ours.
    bool foreignAnswer = false;
    std::string lateLineReply;
    std::string lateCloseReply;
    std::string paper;  // what the answer said about the paper
    auto replied = [&](const std::string& word) {
        // Only what prints speaks of the paper: the latest warning stands until another.
        m_stats->Replied(word, m_clock.NowMs() - m_sentAtMs, paper);
    };
    for (;;) {
        // Each message that arrives starts the time-out again.
        bool signalled = m_clock.Wait(m_queue.Event(), wait.timeoutMs);
        if (m_queue.IsEmpty()) {
            if (signalled) {
                m_queue.SettleEvent();  // the event outlived the last message
                continue;
            }
            if (wait.recordTimeout) {
                RecordFault(vsk::Fault::NoAnswer);
                if (wait.showTimeout) {
                    ShowLastError(vsk::MsgIcon::Stop, vsk::MsgButtons::Ok);
                }
                // The connection's probe and login retry on their own; everything else may
                // still be answered, and that answer must not be taken for the next command's.
                m_lateAnswer = LateAnswer{m_szLastCommandWord, m_clock.NowMs()};
                m_stats->TimedOut();
                m_bSendUnconfirmed = true;
            }
            return WaitEnd::TimedOut;
        }
        std::string text = m_queue.PeekText();
        m_stats->Received(text.size());
        if (vsk::Contains(text, "HARDPAPER"))
            paper = "out";
        else if (vsk::Contains(text, "SOFTPAPER"))
            paper = "low";
        bool status = wait.softIsStatus
                          ? vsk::IsStatusText(text)
                          : vsk::Contains(text, "HARD") || vsk::Contains(text, "SHUTDOWN");
        if (status) {
            StatusHook hook = wait.onStatus ? wait.onStatus(text) : StatusHook::Classify;
            if (hook == StatusHook::Drop) {
                m_queue.Pop();
                continue;
            }
            if (hook == StatusHook::Fail || !wait.classify || !ClassifyStatus(text)) {
                const vsk::StatusWord* row = vsk::FindStatusWord(text);
                replied(row ? std::string(row->word) : text.substr(0, 8));
                m_queue.Clear();
                return WaitEnd::Failed;
            }
        } else if (vsk::Contains(text, wait.replyWords[0]) ||
                   vsk::Contains(text, wait.replyWords[1])) {
            if (wait.onData) {
                wait.onData(text);
            }
            if (wait.endOnData) {
                replied("READY");
                m_queue.Clear();
                return WaitEnd::Ready;
            }
            dataCame = true;
        } else if (IsDataReply(text)) {
            foreignAnswer = true;
            // A sale line in doubt that the register answers only now was printed after all.
            lateLineReply = m_lineInDoubt && text.rfind("FISC", 0) == 0 ? text : "";
            // So was a closing in doubt whose figures come now.
            lateCloseReply = CloseInDoubt() && text.rfind("COMP", 0) == 0 ? text : "";
        } else if (vsk::Contains(text, "READY")) {
            if (foreignAnswer) {
                foreignAnswer = false;
                if (!lateLineReply.empty()) {
                    m_journal.LogFormat("Late reply to FISC came during %s: %s",
                                        m_szLastCommandWord.c_str(), lateLineReply.c_str());
                    CountLateLine(std::exchange(lateLineReply, {}));
                }
                if (!lateCloseReply.empty()) {
                    m_journal.LogFormat("Late reply to COMP came during %s: %s",
                                        m_szLastCommandWord.c_str(), lateCloseReply.c_str());
                    CloseLate(std::exchange(lateCloseReply, {}));
                }
            } else if (dataCame || !wait.dataBeforeReady) {
                replied("READY");
                m_queue.Clear();
                return WaitEnd::Ready;
            }
        }
        m_queue.Pop();
    }
}

void CVSKCore::CatchUpLateAnswer() {
    if (!m_lateAnswer) {
        return;
    }
    const LateAnswer late = *std::exchange(m_lateAnswer, std::nullopt);
    // Quiet for a whole reply time-out after the last thing heard: nothing more is coming.
    const int64_t quietMs = m_lReplyTimeout;
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
        m_lateCloseHook = nullptr;
        m_journal.WriteLogLine("The closing in doubt was refused: the receipt stays open");
    }
}

int16_t CVSKCore::WaitForReady(uint32_t timeoutMs,
                               std::function<StatusHook(const std::string&)> onStatus) {
    m_journal.LogFormat("WaitForReadyMsg(Timeout = %ld)", static_cast<long>(timeoutMs));
    ReplyWait wait;
    wait.timeoutMs = timeoutMs;
    wait.onStatus = std::move(onStatus);
    // A silent register is recorded but not shown, and still counts as done.
    int16_t result = RunReplyWait(wait) == WaitEnd::Failed ? 0 : 1;
    m_journal.LogFormat("WaitForReadyMsg: Result = %d", result);
    return result;
}

int16_t CVSKCore::WaitForReadyMsg(uint32_t timeoutMs) {
    return WaitForReady(timeoutMs, {});
}
