#include "platform/clock.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "platform/event.h"

namespace vsk {
namespace {

int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

class RealClockImpl final : public IClock {
public:
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    bool Wait(const ManualResetEvent& event, uint32_t ms) override { return event.Wait(ms); }
    int64_t NowMs() override { return SteadyMs(); }
};

// The smallest factor accepted; a zero or negative factor would make NowMs divide by zero
// or run backwards.
constexpr double kMinFactor = 1e-6;

}  // namespace

IClock& RealClock() {
    static RealClockImpl clock;
    return clock;
}

ScaledClock::ScaledClock(double factor)
    : m_factor(std::isfinite(factor) && factor > kMinFactor ? factor : kMinFactor),
      m_start(SteadyMs()) {}

uint32_t ScaledClock::Scale(uint32_t ms) const {
    if (ms == 0)
        return 0;
    // Round up so a non-zero duration never becomes a zero-length (busy) wait.
    const double scaled = std::ceil(ms * m_factor);
    if (scaled >= std::numeric_limits<uint32_t>::max())
        return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(scaled);
}

void ScaledClock::Sleep(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(Scale(ms)));
    m_slept += ms;
}

bool ScaledClock::Wait(const ManualResetEvent& event, uint32_t ms) {
    const bool signalled = event.Wait(Scale(ms));
    if (!signalled) {
        m_timedOut += ms;
    }
    return signalled;
}

int64_t ScaledClock::NowMs() {
    const auto real = static_cast<double>(SteadyMs() - m_start);
    return m_start + std::llround(real / m_factor);
}

namespace {
constexpr uint32_t kSliceMs = 50;
}

uint32_t InterruptibleClock::Left(uint32_t ms, uint32_t done) const {
    const int64_t cap = m_cap.load();
    const uint32_t allowed = cap >= 0 && cap < int64_t(ms) ? uint32_t(cap) : ms;
    return done >= allowed ? 0 : allowed - done;
}

void InterruptibleClock::Sleep(uint32_t ms) {
    uint32_t done = 0;
    for (uint32_t left; (left = Left(ms, done)) > 0; done += std::min(left, kSliceMs))
        m_inner.Sleep(std::min(left, kSliceMs));
    m_skipped += ms - done;
}

bool InterruptibleClock::Wait(const ManualResetEvent& event, uint32_t ms) {
    uint32_t done = 0;
    for (uint32_t left; (left = Left(ms, done)) > 0; done += std::min(left, kSliceMs))
        if (m_inner.Wait(event, std::min(left, kSliceMs)))
            return true;
    m_skipped += ms - done;
    return event.IsSet();
}

int64_t InterruptibleClock::NowMs() {
    return m_inner.NowMs() + m_skipped.load();
}

}  // namespace vsk
