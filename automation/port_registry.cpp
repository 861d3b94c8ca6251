#include "automation/port_registry.h"

#include "engine/vsk_core.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "resources/strings.h"

namespace {

constexpr unsigned kUnknownText = 107;  // "НЕВІДОМИЙ"

const std::string& UnknownText() {
    // The string table is the source; the literal only stands in while it lacks the row.
    static const std::string fallback = vsk::Utf8ToCp1251("НЕВІДОМИЙ");
    const std::string& text = vsk::LoadString1251(kUnknownText);
    return text.empty() ? fallback : text;
}

const std::string& OrUnknown(const std::string& text) {
    return text.empty() ? UnknownText() : text;
}

}  // namespace

CVSKPortDescriptor::CVSKPortDescriptor(int32_t portNumber, const EngineFactory& makeEngine,
                                       vsk::IClock& clock)
    : m_core(makeEngine(portNumber)), m_clock(clock) {}

CVSKPortDescriptor::~CVSKPortDescriptor() = default;

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

bool CVSKPortDescriptor::Lock(uint32_t timeoutMs, const std::function<void(uint32_t)>& idle) {
    uint32_t waited = 0;
    while (waited < timeoutMs) {
        int32_t count = m_lockCount.load();
        if (count <= 0) {
            if (m_lockCount.compare_exchange_strong(count, count + 1))
                return true;
            continue;
        }
        if (idle)
            idle(100);
        else
            m_clock.Sleep(100);
        // Wraps like the unsigned counter it is: a timeout near 2^32 ends when waited wraps.
        if (waited > UINT32_MAX - 100)
            break;
        waited += 100;
    }
    return false;
}

bool CVSKPortDescriptor::Unlock() {
    int32_t count = m_lockCount.load();
    while (count > 0 && !m_lockCount.compare_exchange_weak(count, count - 1)) {
    }
    return true;
}

CVSKPortManager::CVSKPortManager(EngineFactory makeEngine, vsk::IClock* clock)
    : m_makeEngine(std::move(makeEngine)), m_clock(clock ? *clock : vsk::RealClock()) {
    if (!m_makeEngine)
        m_makeEngine = [](int32_t port) { return std::make_unique<CVSKCore>(port); };
}

CVSKPortManager::~CVSKPortManager() {
    std::lock_guard lock(m_mutex);
    while (!m_ports.empty()) {
        auto node = m_ports.extract(m_ports.begin());
        node.mapped().reset();
    }
}

CVSKPortDescriptor* CVSKPortManager::AttachClient(int32_t portNumber, const std::string& callerName,
                                                  bool* created) {
    std::lock_guard lock(m_mutex);
    auto it = m_ports.find(portNumber);
    bool isNew = it == m_ports.end();
    if (isNew)
        it = m_ports
                 .emplace(portNumber,
                          std::make_unique<CVSKPortDescriptor>(portNumber, m_makeEngine, m_clock))
                 .first;
    it->second->AddClient(callerName);
    if (created)
        *created = isNew;
    return it->second.get();
}

bool CVSKPortManager::ReleaseClient(int32_t portNumber, const std::string& callerName) {
    std::lock_guard lock(m_mutex);
    auto it = m_ports.find(portNumber);
    if (it == m_ports.end())
        return false;
    if (it->second->RemoveClient(callerName) != 0)
        return false;
    auto node = m_ports.extract(it);
    node.mapped().reset();  // the engine closes its port here, under the mutex
    return true;
}

void CVSKPortManager::FillConnectionsList(std::vector<ConnectionRow>& list) {
    std::lock_guard lock(m_mutex);
    for (auto& [port, descriptor] : m_ports) {
        ConnectionRow first;
        first.port = "COM" + std::to_string(port);
        if (descriptor->LockCount() > 0)
            first.port += " LOCKED";
        first.serial = OrUnknown(descriptor->GetCore()->PrinterInfo().m_szSerialNumber);
        const auto& names = descriptor->ClientNames();
        first.client = OrUnknown(names.empty() ? std::string() : names.front());
        list.push_back(std::move(first));
        for (size_t i = 1; i < names.size(); ++i)
            list.push_back({"", "", OrUnknown(names[i])});
    }
}

size_t CVSKPortManager::PortCount() {
    std::lock_guard lock(m_mutex);
    return m_ports.size();
}
