#include "engine/engine_stats.h"

#include <chrono>

namespace vsk {

void EngineStats::Replied(const std::string& word, int64_t latencyMs, const std::string& paper) {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    size_t bucket = 0;
    while (bucket < kLatencyBoundsMs.size() && latencyMs > kLatencyBoundsMs[bucket])
        ++bucket;
    std::lock_guard lock(m_mutex);
    ++m_rest.replies[word];
    if (latencyMs >= 0) {
        ++m_rest.latency[bucket];
        m_rest.latencySumMs += latencyMs;
    }
    m_rest.lastReplyUnixMs = now;
    m_rest.lastTimedOut = false;
    if (!paper.empty())
        m_rest.paper = paper;
}

void EngineStats::TimedOut() {
    m_timeouts.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(m_mutex);
    m_rest.lastTimedOut = true;
}

void EngineStats::LastError(const std::string& code) {
    std::lock_guard lock(m_mutex);
    m_rest.lastError = code;
}

void EngineStats::Identity(const std::string& model, const std::string& serial) {
    std::lock_guard lock(m_mutex);
    m_rest.model = model;
    m_rest.serial = serial;
}

void EngineStats::DevicePresent(bool present, const std::string& device) {
    std::lock_guard lock(m_mutex);
    m_rest.deviceLost = !present;
    if (!device.empty())
        m_rest.device = device;
}

EngineStats::Snapshot EngineStats::Read() const {
    Snapshot s;
    {
        std::lock_guard lock(m_mutex);
        s = m_rest;
    }
    s.exchanges = m_exchanges.load(std::memory_order_relaxed);
    s.timeouts = m_timeouts.load(std::memory_order_relaxed);
    s.bytesSent = m_bytesSent.load(std::memory_order_relaxed);
    s.bytesReceived = m_bytesReceived.load(std::memory_order_relaxed);
    s.receiptsClosed = m_closed.load(std::memory_order_relaxed);
    s.receiptsCancelled = m_cancelled.load(std::memory_order_relaxed);
    s.replugs = m_replugs.load(std::memory_order_relaxed);
    return s;
}

}  // namespace vsk
