#include "server/port_worker.h"

namespace vsk {

CPortWorker::CPortWorker() : m_thread([this] { Run(); }) {}

CPortWorker::~CPortWorker() {
    RequestStop();
    Join();
}

void CPortWorker::Post(std::function<void()> task) {
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_one();
}

void CPortWorker::RequestStop() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
}

void CPortWorker::Join() {
    if (m_thread.joinable() && !IsCurrentThread())
        m_thread.join();
}

void CPortWorker::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        // Nothing to do but wait for the next call or the stop: no time-out is needed here, as
        // both come through the condition variable.
        m_wake.wait(lock, [this] { return m_stop || !m_tasks.empty(); });
        if (m_tasks.empty())
            break;
        auto task = std::move(m_tasks.front());
        m_tasks.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // what the task holds goes on this thread, before the next one starts
        lock.lock();
    }
    m_exited = true;
}

}  // namespace vsk
