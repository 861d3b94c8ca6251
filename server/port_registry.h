// The registry of open ports: one descriptor per serial port number, owning the port's
// engine, counting the client objects attached to it and holding the advisory lock; and one
// worker thread per port that runs the port's calls.
//
// Threading: the manager's map is guarded by its mutex, never held while an engine works: a
// port is opened and closed on its own worker thread. A descriptor's client and lock counts are
// atomic so that they read whole outside the mutex; the lock and its queue of waiters have a
// mutex of their own.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CVSKCore;

#include "engine/engine_stats.h"
#include "platform/clock.h"

namespace vsk {
class CPortWorker;
class CReceiptRecorder;
}  // namespace vsk

// Creates the engine of a port on the clock it is handed (the manager's, which the server can
// cut short when it ends); tests give engines a scripted register or their own operator.
using EngineFactory =
    std::function<std::unique_ptr<CVSKCore>(int32_t portNumber, vsk::IClock& clock)>;

class CVSKPortDescriptor {
public:
    // `engineClock` is the engine's, cut short when the server ends; `clock` paces the
    // blocking Lock.
    CVSKPortDescriptor(int32_t portNumber, const EngineFactory& makeEngine,
                       vsk::InterruptibleClock& engineClock, vsk::IClock& clock);
    ~CVSKPortDescriptor();
    CVSKPortDescriptor(const CVSKPortDescriptor&) = delete;
    CVSKPortDescriptor& operator=(const CVSKPortDescriptor&) = delete;

    int32_t AddClient(const std::string& name);
    // Removes the first name equal to `name` (byte-wise); lowers the count even when the name
    // is not listed. Returns the clients left.
    int32_t RemoveClient(const std::string& name);
    CVSKCore* GetCore() { return m_core.get(); }
    // Keeps the ledger's rows of the port's receipts; the engine tells it every receipt event.
    vsk::CReceiptRecorder& Recorder() { return *m_recorder; }

    // The advisory lock. It has no owner as far as UnlockPrinter is concerned (any client may
    // unlock it), but the descriptor remembers who took it so that a client that goes away
    // holding it gives it back. `owner` is an opaque identity (the client object).
    //
    // Lock waits for it, polling every 100 ms until obtained or `timeoutMs` (unsigned) has
    // passed; a timeout of 0 never obtains it. For callers that may block their thread.
    bool Lock(uint32_t timeoutMs, const void* owner = nullptr);
    // The same without blocking: `done` is called exactly once, with true when the lock was
    // obtained and false on time-out or cancel, possibly before LockAsync returns and
    // otherwise from Unlock, ExpireLockWaits or CancelLockWait. Waiters are served first come,
    // first served. Returns a ticket for CancelLockWait (0 when already answered).
    using LockDone = std::function<void(bool obtained)>;
    uint64_t LockAsync(uint32_t timeoutMs, const void* owner, LockDone done);
    void CancelLockWait(uint64_t ticket);
    // Ends the waits whose time is up; returns the milliseconds until the next one ends
    // (-1: none waiting).
    int ExpireLockWaits(std::chrono::steady_clock::time_point now);
    bool Unlock();
    // Gives the lock back when `owner` took it and nobody has unlocked it since.
    void GiveBackLock(const void* owner);

    int32_t ClientCount() const { return m_clientCount.load(); }
    int32_t LockCount() const { return m_lockCount.load(); }
    size_t LockWaiters();
    const std::vector<std::string>& ClientNames() const { return m_clientNames; }
    // The register's serial number as last read by the port's worker, for the connections list.
    std::string SerialNumber();
    void SetSerialNumber(std::string serial);
    // The cashier the port logged in with (its first client's), for the ledger's rows.
    std::string Cashier();
    void SetCashier(std::string cashier);
    // Whether `owner` holds the advisory lock now.
    bool HoldsLock(const void* owner);
    // Who an owner of the lock is, for the health report ("" when nobody holds it).
    void NameOwner(const void* owner, const std::string& name);
    void ForgetOwner(const void* owner);
    std::string LockHolderName();

private:
    struct Waiter {
        uint64_t ticket;
        const void* owner;
        std::chrono::steady_clock::time_point deadline;
        LockDone done;
    };
    bool TryLockLocked(const void* owner);
    // Unlocks and hands the lock to the first waiter; the caller calls what it returns.
    LockDone UnlockLocked();

    std::atomic<int32_t> m_clientCount{0};
    // Before the engine, which tells it of the receipt its closing still cancels.
    std::unique_ptr<vsk::CReceiptRecorder> m_recorder;
    std::unique_ptr<CVSKCore> m_core;
    std::atomic<int32_t> m_lockCount{0};
    std::vector<std::string> m_clientNames;
    vsk::IClock& m_clock;

    std::mutex m_lockMutex;  // the lock's holder, its waiters, the serial number and cashier
    const void* m_lockHolder = nullptr;
    std::deque<Waiter> m_waiters;
    uint64_t m_nextTicket = 1;
    std::string m_serialNumber;
    std::string m_cashier;
    std::map<const void*, std::string> m_ownerNames;
};

class CVSKPortManager {
public:
    // Without a factory each engine is a CVSKCore(port) with the real clock and headless UI.
    explicit CVSKPortManager(EngineFactory makeEngine = {}, vsk::IClock* clock = nullptr);
    // Closes every port still open, each on its worker, and joins the workers.
    ~CVSKPortManager();
    CVSKPortManager(const CVSKPortManager&) = delete;
    CVSKPortManager& operator=(const CVSKPortManager&) = delete;

    // The port's descriptor, created with its engine when the port has none (*created then).
    // When the port's last descriptor is still closing, waits for that first (not on the
    // port's own worker, where the closing has run already).
    CVSKPortDescriptor* AttachClient(int32_t portNumber, const std::string& callerName,
                                     bool* created);
    // True when this was the port's last client: the descriptor leaves the registry at once
    // and is destroyed (its engine closing the port) on the port's worker, after the calls
    // queued there; the caller does not wait for it.
    bool ReleaseClient(int32_t portNumber, const std::string& callerName);
    // Waits (bounded) until every closing handed to the workers has ended.
    void WaitForClosings();

    // Runs `task` on the port's worker, after every task handed in for that port before it;
    // false (the task dropped) when no thread can be had for the port.
    bool RunOnPort(int32_t portNumber, std::function<void()> task);
    // Runs `task` on the port's worker with the port's engine, or with nullptr when the port is
    // not open by then; false (nothing run) when no thread can be had for the port.
    bool RunWithEngine(int32_t portNumber, std::function<void(CVSKCore*)> task);
    // The same, waiting for it at most `limit` (the worker may be busy with a receipt, whose
    // exchanges are bounded): false when the task could not be queued or did not run in time
    // (it still runs later, on what it shares).
    bool AskEngine(int32_t portNumber, std::function<void(CVSKCore*)> task,
                   std::chrono::milliseconds limit);
    bool OnPortWorker(int32_t portNumber);

    // Ends the lock waits whose time is up on every port; the milliseconds until the next one
    // ends (-1: none waiting). The automation loop calls it as its timer.
    int ExpireLockWaits();

    // The server is ending: from now on every engine's sleeps and waits last at most `capMs`
    // (those under way end within a moment), so calls under way answer soon as failures and
    // the closings (a receipt left open is cancelled) finish quickly.
    void InterruptEngines(uint32_t capMs);
    bool Ending() const { return m_engineClock.Interrupted(); }

    // One row of the operator's connections list; texts in Windows-1251.
    struct ConnectionRow {
        std::string port;    // "COM3", "COM3 LOCKED", or empty for a further client
        std::string serial;  // the register's serial number (first row of a port only)
        std::string client;
    };
    void FillConnectionsList(std::vector<ConnectionRow>& list);

    // One port for the health report and the metrics: its record lives as long as the
    // server, so a port closed since still has its counters.
    struct PortHealth {
        int32_t port = 0;
        bool open = false;
        std::vector<std::string> clients;  // Windows-1251
        std::string lockHolder;            // Windows-1251; "" when not locked
        bool locked = false;
        std::shared_ptr<const vsk::EngineStats> stats;
    };
    std::vector<PortHealth> Health();

    size_t PortCount();
    // At most this many port threads at once (alive or not yet joined); a call to a further
    // port is refused.
    void SetWorkerLimit(size_t limit) { m_workerLimit = limit; }
    static constexpr size_t kDefaultWorkerLimit = 256;
    // Worker threads alive or not yet joined (tests: idle ports leave none behind).
    size_t WorkerCount();

private:
    struct Slot {
        std::unique_ptr<CVSKPortDescriptor> descriptor;
        std::unique_ptr<vsk::CPortWorker> worker;
        int pending = 0;  // tasks handed to the worker and not yet ended
        int closing = 0;  // descriptors of this port still being destroyed
    };
    // Takes `task` only when it returns true.
    bool RunOnPortLocked(int32_t portNumber, std::function<void()>& task);
    void TaskEnded(int32_t portNumber);
    void ReapRetiredLocked();

    EngineFactory m_makeEngine;
    vsk::IClock& m_clock;
    vsk::InterruptibleClock m_engineClock;
    std::mutex m_mutex;
    std::condition_variable m_closed;
    std::map<int32_t, Slot> m_slots;
    std::map<int32_t, std::shared_ptr<vsk::EngineStats>> m_stats;
    std::vector<std::unique_ptr<vsk::CPortWorker>> m_retired;
    size_t m_workerLimit = kDefaultWorkerLimit;
};
