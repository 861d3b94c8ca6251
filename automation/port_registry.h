// The registry of open ports: one descriptor per serial port number, owning the port's
// engine, counting the client objects attached to it and holding the advisory lock.
//
// Threading: the manager's map is guarded by its mutex, taken by every manager operation for
// the whole operation (including the destruction of a descriptor with its engine). A
// descriptor's client and lock counts are atomic so that they read whole outside the mutex;
// Lock and Unlock do not take the mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CVSKCore;

namespace vsk {
class IClock;
}

// Creates the engine of a port (tests give engines a scaled clock or a scripted register).
using EngineFactory = std::function<std::unique_ptr<CVSKCore>(int32_t portNumber)>;

class CVSKPortDescriptor {
public:
    CVSKPortDescriptor(int32_t portNumber, const EngineFactory& makeEngine, vsk::IClock& clock);
    ~CVSKPortDescriptor();
    CVSKPortDescriptor(const CVSKPortDescriptor&) = delete;
    CVSKPortDescriptor& operator=(const CVSKPortDescriptor&) = delete;

    int32_t AddClient(const std::string& name);
    // Removes the first name equal to `name` (byte-wise); lowers the count even when the name
    // is not listed. Returns the clients left.
    int32_t RemoveClient(const std::string& name);
    CVSKCore* GetCore() { return m_core.get(); }

    // Polls the lock every 100 ms until obtained or `timeoutMs` (unsigned) has passed; a
    // timeout of 0 never obtains it. Between polls it calls `idle` (100 ms): the server runs
    // other clients' calls there, so a holder on the same thread can unlock meanwhile.
    bool Lock(uint32_t timeoutMs, const std::function<void(uint32_t)>& idle = {});
    bool Unlock();

    int32_t ClientCount() const { return m_clientCount.load(); }
    int32_t LockCount() const { return m_lockCount.load(); }
    const std::vector<std::string>& ClientNames() const { return m_clientNames; }

private:
    std::atomic<int32_t> m_clientCount{0};
    std::unique_ptr<CVSKCore> m_core;
    std::atomic<int32_t> m_lockCount{0};
    std::vector<std::string> m_clientNames;
    vsk::IClock& m_clock;
};

class CVSKPortManager {
public:
    // Without a factory each engine is a CVSKCore(port) with the real clock and headless UI.
    explicit CVSKPortManager(EngineFactory makeEngine = {}, vsk::IClock* clock = nullptr);
    ~CVSKPortManager();  // destroys every descriptor still held, closing its port
    CVSKPortManager(const CVSKPortManager&) = delete;
    CVSKPortManager& operator=(const CVSKPortManager&) = delete;

    // The port's descriptor, created with its engine when the port has none (*created then).
    CVSKPortDescriptor* AttachClient(int32_t portNumber, const std::string& callerName,
                                     bool* created);
    // True when this release destroyed the descriptor (and its engine).
    bool ReleaseClient(int32_t portNumber, const std::string& callerName);

    // One row of the operator's connections list; texts in Windows-1251.
    struct ConnectionRow {
        std::string port;    // "COM3", "COM3 LOCKED", or empty for a further client
        std::string serial;  // the register's serial number (first row of a port only)
        std::string client;
    };
    void FillConnectionsList(std::vector<ConnectionRow>& list);

    size_t PortCount();

private:
    EngineFactory m_makeEngine;
    vsk::IClock& m_clock;
    std::mutex m_mutex;
    std::map<int32_t, std::unique_ptr<CVSKPortDescriptor>> m_ports;
};
