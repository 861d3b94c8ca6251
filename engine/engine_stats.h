// EngineStats: what one port's engine has done, for the health report and the metrics. The
// port's worker writes it; any thread reads it. It belongs to the port number, not to one
// opening of the port, so its counters only grow while the server runs.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace vsk {

class EngineStats {
public:
    // Upper bounds of the reply latency buckets, in milliseconds (the last bucket is +Inf).
    static constexpr std::array<int64_t, 10> kLatencyBoundsMs = {5,   10,  25,   50,   100,
                                                                 250, 500, 1000, 2500, 5000};

    struct Snapshot {
        uint64_t exchanges = 0, timeouts = 0, bytesSent = 0, bytesReceived = 0;
        uint64_t receiptsClosed = 0, receiptsCancelled = 0;
        std::array<uint64_t, kLatencyBoundsMs.size() + 1> latency{};  // per bucket, not summed
        int64_t latencySumMs = 0;
        std::map<std::string, uint64_t> replies;  // by status word ("READY" for a plain reply)
        std::string model, serial, lastError;
        std::string paper = "ok";     // the latest paper warning: "ok" until one, "low", "out"
        int64_t lastReplyUnixMs = 0;  // 0: never
        bool lastTimedOut = false;    // the latest exchange got no answer in its time
        bool deviceLost = false;      // the port's device went away and is not back yet
        std::string device;           // the device the port opened last ("" before one)
        uint64_t replugs = 0;         // times the device came back and the port logged in again
    };

    void Sent(size_t bytes) {
        m_exchanges.fetch_add(1, std::memory_order_relaxed);
        m_bytesSent.fetch_add(bytes, std::memory_order_relaxed);
    }
    // Commands sent so far: a call that moved it talked to the register.
    uint64_t Exchanges() const { return m_exchanges.load(std::memory_order_relaxed); }
    void Received(size_t bytes) { m_bytesReceived.fetch_add(bytes, std::memory_order_relaxed); }
    // An exchange ended with a reply: `word` is its status word, `paper` the paper state it
    // told ("" when it said nothing about the paper); `latencyMs` negative when no command of
    // its own was sent, which the latency histogram does not observe.
    void Replied(const std::string& word, int64_t latencyMs, const std::string& paper);
    void TimedOut();
    void LastError(const std::string& code);
    void Identity(const std::string& model, const std::string& serial);
    // The port's device is there (a connection succeeded on `device`) or went away.
    void DevicePresent(bool present, const std::string& device);
    void Replugged() { m_replugs.fetch_add(1, std::memory_order_relaxed); }
    void ReceiptEnded(bool closed) {
        (closed ? m_closed : m_cancelled).fetch_add(1, std::memory_order_relaxed);
    }
    Snapshot Read() const;

private:
    std::atomic<uint64_t> m_exchanges{0}, m_timeouts{0}, m_bytesSent{0}, m_bytesReceived{0};
    std::atomic<uint64_t> m_closed{0}, m_cancelled{0}, m_replugs{0};
    mutable std::mutex m_mutex;  // everything below
    Snapshot m_rest;
};

}  // namespace vsk
