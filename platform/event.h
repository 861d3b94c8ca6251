// Waitable events standing in for the platform's manual-reset events.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vsk {

// Manual-reset event: stays signalled until Reset. Safe to use from any thread.
class ManualResetEvent {
public:
    explicit ManualResetEvent(bool signalled = false) : m_signalled(signalled) {}
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // Waits until signalled or the time-out passes; true when signalled.
    bool Wait(uint32_t timeoutMs) const;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    bool m_signalled;
};

// An eventfd that poll() can watch beside a device descriptor: the reader thread's stop event.
// Manual-reset like the above (looking does not consume it); safe to use from any thread.
class PollableEvent {
public:
    PollableEvent();  // non-signalled; throws std::system_error when no eventfd can be had
    ~PollableEvent();
    PollableEvent(const PollableEvent&) = delete;
    PollableEvent& operator=(const PollableEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace vsk
