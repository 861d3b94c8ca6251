// Every sleep and time-out of link/ and engine/ goes through IClock, so tests can scale time.
#pragma once

#include <atomic>
#include <cstdint>

namespace vsk {

class ManualResetEvent;

class IClock {
public:
    virtual ~IClock() = default;
    virtual void Sleep(uint32_t ms) = 0;
    // Waits for the event up to ms; true when it is signalled.
    virtual bool Wait(const ManualResetEvent& event, uint32_t ms) = 0;
    // Monotonic milliseconds.
    virtual int64_t NowMs() = 0;
};

// The real clock. A single stateless instance; returned by reference.
IClock& RealClock();

// Runs every sleep and wait at `factor` times its nominal length (0.01 turns 3000 ms into 30 ms)
// and reports nominal time, so code under test sees the durations it asked for.
class ScaledClock : public IClock {
public:
    explicit ScaledClock(double factor);
    void Sleep(uint32_t ms) override;
    bool Wait(const ManualResetEvent& event, uint32_t ms) override;
    int64_t NowMs() override;
    // Nominal milliseconds slept through Sleep since construction. Sleep may run on any thread.
    int64_t SleptMs() const { return m_slept.load(); }
    // Nominal milliseconds spent in waits that ran out without the event.
    int64_t TimedOutWaitMs() const { return m_timedOut.load(); }

private:
    uint32_t Scale(uint32_t ms) const;
    double m_factor;
    int64_t m_start;
    std::atomic<int64_t> m_slept{0};
    std::atomic<int64_t> m_timedOut{0};
};

// Wraps a clock so that its waits can be cut short from another thread (a server that is
// ending): after Interrupt(capMs) every sleep and wait lasts at most capMs nominal
// milliseconds, and one already under way ends within a slice of its own length. The time a cut
// wait did not spend is added to NowMs, so code that waits in a loop until a moment sees that
// moment come. Until Interrupt it behaves as the wrapped clock, apart from waking every slice.
class InterruptibleClock : public IClock {
public:
    explicit InterruptibleClock(IClock& inner) : m_inner(inner) {}
    void Interrupt(uint32_t capMs) { m_cap = capMs; }
    bool Interrupted() const { return m_cap.load() >= 0; }
    void Sleep(uint32_t ms) override;
    bool Wait(const ManualResetEvent& event, uint32_t ms) override;
    int64_t NowMs() override;

private:
    // The nominal milliseconds still allowed after `done` of `ms`.
    uint32_t Left(uint32_t ms, uint32_t done) const;

    IClock& m_inner;
    std::atomic<int64_t> m_cap{-1};
    std::atomic<int64_t> m_skipped{0};  // nominal milliseconds that cut waits did not spend
};

}  // namespace vsk
