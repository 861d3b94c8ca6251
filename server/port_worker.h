// The thread that runs every call of one serial port, one at a time, in the order they were
// handed in. A register that is silent, slow or unplugged then holds up its own port's callers
// only: the automation loop and the other ports go on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vsk {

class CPortWorker {
public:
    CPortWorker();
    // Runs what is still queued, then joins the thread.
    ~CPortWorker();
    CPortWorker(const CPortWorker&) = delete;
    CPortWorker& operator=(const CPortWorker&) = delete;

    void Post(std::function<void()> task);
    // The thread ends once its queue is empty; Post after this is not allowed.
    void RequestStop();
    // The thread has left its loop (joining it no longer waits).
    bool Exited() const { return m_exited.load(); }
    bool IsCurrentThread() const { return std::this_thread::get_id() == m_thread.get_id(); }
    void Join();

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks;
    bool m_stop = false;
    std::atomic<bool> m_exited{false};
    std::thread m_thread;
};

}  // namespace vsk
