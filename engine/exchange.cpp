// The command exchange: send one command, then read the register's messages until READY, an
// error word, the awaited data reply or silence. Every operation runs the same reply wait.
#include <utility>

#include "engine/error_catalogue.h"
#include "engine/vsk_core.h"
#include "platform/clock.h"

namespace {

bool Contains(std::string_view text, std::string_view word) {
    return !word.empty() && text.find(word) != std::string_view::npos;
}

}  // namespace

bool CVSKCore::SendToPrinter(std::string_view text, size_t secretBegin, size_t secretLength) {
    // Right after the pending-error check a second drain would only wait its 5 ms again for
    // nothing: the queue was just found quiet. Anything that came meanwhile still gets drained.
    if (std::exchange(m_bJustDrained, false) && m_queue.IsEmpty()) {
        return m_channel.WriteFrame(text, secretBegin, secretLength);
    }
    return m_channel.SendToPrinter(text, *this, secretBegin, secretLength);
}

bool CVSKCore::PendingErrorCheck() {
    m_bJustDrained = m_channel.PreSendDrain(*this);
    return m_bJustDrained;
}

std::string CVSKCore::GetNextMessage(uint32_t timeoutMs) {
    return m_queue.GetNextMessage(timeoutMs, m_clock);
}

CVSKCore::WaitEnd CVSKCore::RunReplyWait(const ReplyWait& wait) {
    m_bJustDrained = false;
    bool dataCame = false;
    for (;;) {
        // Each message that arrives starts the time-out again.
        bool signalled = m_clock.Wait(m_queue.Event(), wait.timeoutMs);
        if (m_queue.IsEmpty()) {
            if (signalled) {
                continue;  // the event outlived the last message
            }
            if (wait.recordTimeout) {
                SetEngineError(vsk::EngineError::kConnTimeout, vsk::EngineError::kConnTimeoutMsg);
                if (wait.showTimeout) {
                    ShowLastError(vsk::MsgIcon::Stop, vsk::MsgButtons::Ok);
                }
            }
            return WaitEnd::TimedOut;
        }
        std::string text = m_queue.PeekText();
        bool status = wait.softIsStatus ? vsk::IsStatusText(text)
                                        : Contains(text, "HARD") || Contains(text, "SHUTDOWN");
        if (status) {
            StatusHook hook = wait.onStatus ? wait.onStatus(text) : StatusHook::Classify;
            if (hook == StatusHook::Drop) {
                m_queue.Pop();
                continue;
            }
            if (hook == StatusHook::Fail || !wait.classify || !ClassifyStatus(text)) {
                m_queue.Clear();
                return WaitEnd::Failed;
            }
        } else if (Contains(text, wait.replyWords[0]) || Contains(text, wait.replyWords[1])) {
            if (wait.onData) {
                wait.onData(text);
            }
            if (wait.endOnData) {
                m_queue.Clear();
                return WaitEnd::Ready;
            }
            dataCame = true;
        } else if (Contains(text, "READY") && (dataCame || !wait.dataBeforeReady)) {
            m_queue.Clear();
            return WaitEnd::Ready;
        }
        m_queue.Pop();
    }
}

int16_t CVSKCore::WaitForReadyMsg(uint32_t timeoutMs) {
    m_journal.LogFormat("WaitForReadyMsg(Timeout = %ld)", static_cast<long>(timeoutMs));
    ReplyWait wait;
    wait.timeoutMs = timeoutMs;
    // A silent register is recorded but not shown, and still counts as done.
    int16_t result = RunReplyWait(wait) == WaitEnd::Failed ? 0 : 1;
    m_journal.LogFormat("WaitForReadyMsg: Result = %d", result);
    return result;
}
