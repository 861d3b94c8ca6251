#include "server/port_registry.h"

#include <system_error>

#include "engine/vsk_core.h"
#include "platform/clock.h"
#include "resources/strings.h"
#include "server/port_worker.h"
#include "server/receipt_recorder.h"

namespace {

// A closing is bounded by the engine's own time-outs; this only keeps a wait from being endless.
constexpr auto kClosingWaitLimit = std::chrono::seconds(120);

const std::string& OrUnknown(const std::string& text) {
    return text.empty() ? vsk::LoadString1251(vsk::text::kUnknown) : text;
}

}  // namespace

CVSKPortDescriptor::CVSKPortDescriptor(int32_t portNumber, const EngineFactory& makeEngine,
                                       vsk::InterruptibleClock& engineClock, vsk::IClock& clock)
    : m_recorder(std::make_unique<vsk::CReceiptRecorder>(
          portNumber, *this, [&engineClock] { return engineClock.Interrupted(); })),
      m_core(makeEngine(portNumber, engineClock)),
      m_clock(clock) {
    if (m_core)
        m_core->SetReceiptEvents(m_recorder.get());
}

CVSKPortDescriptor::~CVSKPortDescriptor() {
    // Waits still queued end as time-outs (the server cancels its own before this).
    std::deque<Waiter> waiters;
    {
        std::lock_guard lock(m_lockMutex);
        waiters.swap(m_waiters);
    }
    for (auto& w : waiters)
        w.done(false);
}

int32_t CVSKPortDescriptor::AddClient(const std::string& name) {
    m_clientNames.push_back(name);
    return ++m_clientCount;
}

int32_t CVSKPortDescriptor::RemoveClient(const std::string& name) {
    for (auto it = m_clientNames.begin(); it != m_clientNames.end(); ++it) {
        if (*it == name) {
            m_clientNames.erase(it);
            break;
        }
    }
    int32_t count = m_clientCount.load();
    while (count > 0 && !m_clientCount.compare_exchange_weak(count, count - 1)) {
    }
    return m_clientCount.load();
}

bool CVSKPortDescriptor::TryLockLocked(const void* owner) {
    if (m_lockCount.load() > 0)
        return false;
    m_lockCount = 1;
    m_lockHolder = owner;
    return true;
}

CVSKPortDescriptor::LockDone CVSKPortDescriptor::UnlockLocked() {
    int32_t count = m_lockCount.load();
    if (count <= 0)
        return {};
    m_lockCount = count - 1;
    if (count - 1 > 0)
        return {};
    m_lockHolder = nullptr;
    if (m_waiters.empty())
        return {};
    Waiter next = std::move(m_waiters.front());
    m_waiters.pop_front();
    m_lockCount = 1;
    m_lockHolder = next.owner;
    return std::move(next.done);
}

bool CVSKPortDescriptor::Lock(uint32_t timeoutMs, const void* owner) {
    uint32_t waited = 0;
    while (waited < timeoutMs) {
        {
            std::lock_guard lock(m_lockMutex);
            if (m_waiters.empty() && TryLockLocked(owner))
                return true;
        }
        m_clock.Sleep(100);
        // Wraps like the unsigned counter it is: a timeout near 2^32 ends when waited wraps.
        if (waited > UINT32_MAX - 100)
            break;
        waited += 100;
    }
    return false;
}

uint64_t CVSKPortDescriptor::LockAsync(uint32_t timeoutMs, const void* owner, LockDone done) {
    bool obtained = false;
    {
        std::lock_guard lock(m_lockMutex);
        if (timeoutMs > 0 && !(m_waiters.empty() && TryLockLocked(owner))) {
            uint64_t ticket = m_nextTicket++;
            m_waiters.push_back(
                {ticket, owner,
                 std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs),
                 std::move(done)});
            return ticket;
        }
        obtained = timeoutMs > 0;
    }
    done(obtained);
    return 0;
}

void CVSKPortDescriptor::NameOwner(const void* owner, const std::string& name) {
    std::lock_guard lock(m_lockMutex);
    m_ownerNames[owner] = name;
}

void CVSKPortDescriptor::ForgetOwner(const void* owner) {
    std::lock_guard lock(m_lockMutex);
    m_ownerNames.erase(owner);
}

std::string CVSKPortDescriptor::LockHolderName() {
    std::lock_guard lock(m_lockMutex);
    if (m_lockCount.load() == 0)
        return {};
    auto it = m_ownerNames.find(m_lockHolder);
    return it == m_ownerNames.end() ? std::string("?") : it->second;
}

void CVSKPortDescriptor::CancelLockWait(uint64_t ticket) {
    LockDone done;
    {
        std::lock_guard lock(m_lockMutex);
        for (auto it = m_waiters.begin(); it != m_waiters.end(); ++it) {
            if (it->ticket == ticket) {
                done = std::move(it->done);
                m_waiters.erase(it);
                break;
            }
        }
    }
    if (done)
        done(false);
}

int CVSKPortDescriptor::ExpireLockWaits(std::chrono::steady_clock::time_point now) {
    std::vector<LockDone> expired;
    int next = -1;
    {
        std::lock_guard lock(m_lockMutex);
        for (auto it = m_waiters.begin(); it != m_waiters.end();) {
            if (it->deadline <= now) {
                expired.push_back(std::move(it->done));
                it = m_waiters.erase(it);
                continue;
            }
            auto left = std::chrono::ceil<std::chrono::milliseconds>(it->deadline - now).count();
            int ms = left > INT32_MAX ? INT32_MAX : int(left);
            next = next < 0 ? ms : std::min(next, ms);
            ++it;
        }
    }
    for (auto& done : expired)
        done(false);
    return next;
}

bool CVSKPortDescriptor::Unlock() {
    LockDone granted;
    {
        std::lock_guard lock(m_lockMutex);
        granted = UnlockLocked();
    }
    if (granted)
        granted(true);
    return true;
}

void CVSKPortDescriptor::GiveBackLock(const void* owner) {
    if (!owner)
        return;
    LockDone granted;
    std::vector<LockDone> abandoned;
    {
        std::lock_guard lock(m_lockMutex);
        for (auto it = m_waiters.begin(); it != m_waiters.end();) {
            if (it->owner == owner) {
                abandoned.push_back(std::move(it->done));
                it = m_waiters.erase(it);
            } else {
                ++it;
            }
        }
        if (m_lockHolder == owner)
            granted = UnlockLocked();
    }
    for (auto& done : abandoned)
        done(false);
    if (granted)
        granted(true);
}

size_t CVSKPortDescriptor::LockWaiters() {
    std::lock_guard lock(m_lockMutex);
    return m_waiters.size();
}

std::string CVSKPortDescriptor::SerialNumber() {
    std::lock_guard lock(m_lockMutex);
    return m_serialNumber;
}

void CVSKPortDescriptor::SetSerialNumber(std::string serial) {
    std::lock_guard lock(m_lockMutex);
    m_serialNumber = std::move(serial);
}

std::string CVSKPortDescriptor::Cashier() {
    std::lock_guard lock(m_lockMutex);
    return m_cashier;
}

void CVSKPortDescriptor::SetCashier(std::string cashier) {
    std::lock_guard lock(m_lockMutex);
    m_cashier = std::move(cashier);
}

bool CVSKPortDescriptor::HoldsLock(const void* owner) {
    std::lock_guard lock(m_lockMutex);
    return owner != nullptr && m_lockHolder == owner && m_lockCount.load() > 0;
}

CVSKPortManager::CVSKPortManager(EngineFactory makeEngine, vsk::IClock* clock)
    : m_makeEngine(std::move(makeEngine)),
      m_clock(clock ? *clock : vsk::RealClock()),
      m_engineClock(m_clock) {
    if (!m_makeEngine)
        m_makeEngine = [](int32_t port, vsk::IClock& engineClock) {
            return std::make_unique<CVSKCore>(port, &engineClock);
        };
}

void CVSKPortManager::InterruptEngines(uint32_t capMs) {
    m_engineClock.Interrupt(capMs);
}

CVSKPortManager::~CVSKPortManager() {
    std::vector<std::unique_ptr<vsk::CPortWorker>> workers;
    {
        std::lock_guard lock(m_mutex);
        for (auto& [port, slot] : m_slots) {
            if (!slot.descriptor)
                continue;
            std::shared_ptr<CVSKPortDescriptor> doomed(std::move(slot.descriptor));
            ++slot.closing;
            const int32_t portNumber = port;
            std::function<void()> close = [this, portNumber, doomed = std::move(doomed)]() mutable {
                doomed.reset();
                std::lock_guard inner(m_mutex);
                --m_slots[portNumber].closing;
            };
            if (!RunOnPortLocked(portNumber, close))
                --slot.closing;  // no thread to be had: it closes here, as `close` goes
        }
        for (auto& [port, slot] : m_slots)
            if (slot.worker)
                workers.push_back(std::move(slot.worker));
        for (auto& w : m_retired)
            workers.push_back(std::move(w));
        m_retired.clear();
    }
    workers.clear();  // each runs what it still has (the closings), then joins
}

void CVSKPortManager::ReapRetiredLocked() {
    for (auto it = m_retired.begin(); it != m_retired.end();) {
        if ((*it)->Exited() && !(*it)->IsCurrentThread()) {
            (*it)->Join();
            it = m_retired.erase(it);
        } else {
            ++it;
        }
    }
}

bool CVSKPortManager::RunOnPortLocked(int32_t portNumber, std::function<void()>& task) {
    ReapRetiredLocked();
    Slot& slot = m_slots[portNumber];
    if (!slot.worker) {
        // Each port number a client names can cost a thread: past the limit, or when the
        // system has no thread to give, the call is refused rather than the server ended.
        size_t workers = m_retired.size();
        for (const auto& [port, other] : m_slots)
            workers += other.worker ? 1 : 0;
        try {
            if (workers >= m_workerLimit)
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
            slot.worker = std::make_unique<vsk::CPortWorker>();
        } catch (const std::system_error&) {
            if (!slot.descriptor && slot.pending == 0 && slot.closing == 0)
                m_slots.erase(portNumber);
            return false;
        }
    }
    ++slot.pending;
    slot.worker->Post([this, portNumber, task = std::move(task)]() mutable {
        task();
        task = nullptr;
        TaskEnded(portNumber);
    });
    return true;
}

bool CVSKPortManager::RunOnPort(int32_t portNumber, std::function<void()> task) {
    std::lock_guard lock(m_mutex);
    return RunOnPortLocked(portNumber, task);
}

void CVSKPortManager::TaskEnded(int32_t portNumber) {
    std::lock_guard lock(m_mutex);
    auto it = m_slots.find(portNumber);
    if (it == m_slots.end())
        return;
    Slot& slot = it->second;
    --slot.pending;
    // A port with nothing open and nothing queued keeps no thread: the worker ends (it is this
    // thread; it is joined later, by whoever next comes by).
    if (slot.pending == 0 && !slot.descriptor && slot.closing == 0 && slot.worker) {
        slot.worker->RequestStop();
        m_retired.push_back(std::move(slot.worker));
        m_slots.erase(it);
    }
}

bool CVSKPortManager::AskEngine(int32_t portNumber, std::function<void(CVSKCore*)> task,
                                std::chrono::milliseconds limit) {
    struct Answer {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    auto answer = std::make_shared<Answer>();
    const bool queued = RunWithEngine(portNumber, [answer, task = std::move(task)](CVSKCore* core) {
        task(core);
        std::lock_guard lock(answer->mutex);
        answer->done = true;
        answer->cv.notify_all();
    });
    if (!queued)
        return false;
    std::unique_lock lock(answer->mutex);
    return answer->cv.wait_for(lock, limit, [&] { return answer->done; });
}

bool CVSKPortManager::OnPortWorker(int32_t portNumber) {
    std::lock_guard lock(m_mutex);
    auto it = m_slots.find(portNumber);
    return it != m_slots.end() && it->second.worker && it->second.worker->IsCurrentThread();
}

CVSKPortDescriptor* CVSKPortManager::AttachClient(int32_t portNumber, const std::string& callerName,
                                                  bool* created) {
    std::unique_lock lock(m_mutex);
    auto closing = [&] {
        auto it = m_slots.find(portNumber);
        return it != m_slots.end() && it->second.closing > 0;
    };
    if (closing()) {
        auto it = m_slots.find(portNumber);
        bool onWorker = it->second.worker && it->second.worker->IsCurrentThread();
        if (!onWorker)
            m_closed.wait_for(lock, kClosingWaitLimit, [&] { return !closing(); });
    }
    Slot& slot = m_slots[portNumber];
    bool isNew = !slot.descriptor;
    if (isNew) {
        slot.descriptor =
            std::make_unique<CVSKPortDescriptor>(portNumber, m_makeEngine, m_engineClock, m_clock);
        auto& stats = m_stats[portNumber];
        if (!stats)
            stats = std::make_shared<vsk::EngineStats>();
        if (CVSKCore* core = slot.descriptor->GetCore())
            core->UseStats(stats);
    }
    slot.descriptor->AddClient(callerName);
    if (created)
        *created = isNew;
    return slot.descriptor.get();
}

bool CVSKPortManager::ReleaseClient(int32_t portNumber, const std::string& callerName) {
    std::unique_lock lock(m_mutex);
    auto it = m_slots.find(portNumber);
    if (it == m_slots.end() || !it->second.descriptor)
        return false;
    Slot& slot = it->second;
    if (slot.descriptor->RemoveClient(callerName) != 0)
        return false;
    std::shared_ptr<CVSKPortDescriptor> doomed(std::move(slot.descriptor));
    if (slot.worker && slot.worker->IsCurrentThread()) {
        // Already on the port's thread (a failed Init, a Done, an Init that moves on): close
        // here, before the port can be opened again.
        lock.unlock();
        doomed.reset();
        return true;
    }
    ++slot.closing;
    std::function<void()> close = [this, portNumber, doomed = std::move(doomed)]() mutable {
        doomed.reset();  // the engine closes its port here, on the port's own thread
        {
            std::lock_guard inner(m_mutex);
            --m_slots[portNumber].closing;
        }
        m_closed.notify_all();
    };
    if (!RunOnPortLocked(portNumber, close)) {
        --slot.closing;
        lock.unlock();
        close = nullptr;  // no thread to be had: the port closes on this one
    }
    return true;
}

void CVSKPortManager::WaitForClosings() {
    std::unique_lock lock(m_mutex);
    m_closed.wait_for(lock, kClosingWaitLimit, [&] {
        for (const auto& [port, slot] : m_slots)
            if (slot.closing > 0)
                return false;
        return true;
    });
}

int CVSKPortManager::ExpireLockWaits() {
    auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(m_mutex);
    int next = -1;
    for (auto& [port, slot] : m_slots) {
        if (!slot.descriptor)
            continue;
        int ms = slot.descriptor->ExpireLockWaits(now);
        if (ms >= 0)
            next = next < 0 ? ms : std::min(next, ms);
    }
    return next;
}

void CVSKPortManager::FillConnectionsList(std::vector<ConnectionRow>& list) {
    std::lock_guard lock(m_mutex);
    for (auto& [port, slot] : m_slots) {
        CVSKPortDescriptor* descriptor = slot.descriptor.get();
        if (!descriptor)
            continue;
        ConnectionRow first;
        first.port = "COM" + std::to_string(port);
        if (descriptor->LockCount() > 0)
            first.port += " LOCKED";
        first.serial = OrUnknown(descriptor->SerialNumber());
        const auto& names = descriptor->ClientNames();
        first.client = OrUnknown(names.empty() ? std::string() : names.front());
        list.push_back(std::move(first));
        for (size_t i = 1; i < names.size(); ++i)
            list.push_back({"", "", OrUnknown(names[i])});
    }
}

bool CVSKPortManager::RunWithEngine(int32_t portNumber, std::function<void(CVSKCore*)> task) {
    {
        std::lock_guard lock(m_mutex);
        auto slot = m_slots.find(portNumber);
        if (slot == m_slots.end() || !slot->second.descriptor) {
            task(nullptr);
            return true;
        }
    }
    return RunOnPort(portNumber, [this, portNumber, task = std::move(task)] {
        // On the port's worker, where a descriptor is destroyed too: it cannot go meanwhile.
        CVSKCore* core = nullptr;
        {
            std::lock_guard lock(m_mutex);
            auto slot = m_slots.find(portNumber);
            if (slot != m_slots.end() && slot->second.descriptor)
                core = slot->second.descriptor->GetCore();
        }
        task(core);
    });
}

std::vector<CVSKPortManager::PortHealth> CVSKPortManager::Health() {
    std::lock_guard lock(m_mutex);
    std::vector<PortHealth> ports;
    for (const auto& [port, stats] : m_stats) {
        PortHealth h;
        h.port = port;
        h.stats = stats;
        auto slot = m_slots.find(port);
        if (slot != m_slots.end() && slot->second.descriptor) {
            CVSKPortDescriptor& d = *slot->second.descriptor;
            h.open = true;
            h.clients = d.ClientNames();
            h.locked = d.LockCount() > 0;
            h.lockHolder = d.LockHolderName();
        }
        ports.push_back(std::move(h));
    }
    return ports;
}

size_t CVSKPortManager::PortCount() {
    std::lock_guard lock(m_mutex);
    size_t n = 0;
    for (const auto& [port, slot] : m_slots)
        n += slot.descriptor ? 1 : 0;
    return n;
}

size_t CVSKPortManager::WorkerCount() {
    std::lock_guard lock(m_mutex);
    ReapRetiredLocked();
    size_t n = m_retired.size();
    for (const auto& [port, slot] : m_slots)
        n += slot.worker ? 1 : 0;
    return n;
}
