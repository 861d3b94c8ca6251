// The server module: counts the live automation objects (client objects and proxies) so that a
// server started by the automation runtime can end when the last one is released.
#pragma once

#include <atomic>
#include <functional>

namespace vsk {

class CVSKManagerModule {
public:
    // Called on the main thread by every automation object's constructor and destructor.
    long Lock() { return ++m_lockCount; }
    long Unlock();
    long LockCount() const { return m_lockCount.load(); }

    // Run when an Unlock brings the count to 0 (the server decides whether that ends it).
    void SetOnLastUnlock(std::function<void()> callback) { m_onLastUnlock = std::move(callback); }

private:
    std::atomic<long> m_lockCount{0};
    std::function<void()> m_onLastUnlock;
};

// The one module of this process.
CVSKManagerModule& TheModule();

}  // namespace vsk
