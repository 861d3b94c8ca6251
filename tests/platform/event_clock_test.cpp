// Events and clocks: the waits every time-out of the link and engine layers rests on.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"

namespace vsk {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

int64_t ElapsedMs(steady_clock::time_point since) {
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - since).count();
}

TEST(ManualResetEvent, StaysSignalledUntilReset) {
    ManualResetEvent event;
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));  // a wait does not consume the signal
    EXPECT_TRUE(event.IsSet());
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    EXPECT_TRUE(ManualResetEvent(true).IsSet());
}

TEST(ManualResetEvent, WaitTimesOutAfterItsTime) {
    ManualResetEvent event;
    const auto start = steady_clock::now();
    EXPECT_FALSE(event.Wait(30));
    EXPECT_GE(ElapsedMs(start), 30);
}

TEST(ManualResetEvent, SetWakesEveryWaitingThread) {
    ManualResetEvent event;
    ManualResetEvent ready;
    std::vector<std::future<bool>> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.push_back(std::async(std::launch::async, [&] { return event.Wait(10000); }));
    }
    const auto start = steady_clock::now();
    event.Set();
    for (auto& waiter : waiters)
        EXPECT_TRUE(waiter.get());
    EXPECT_LT(ElapsedMs(start), 5000);
}

bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

TEST(PollableEvent, SetMakesTheDescriptorReadableUntilReset) {
    PollableEvent event;
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(Readable(event.Fd(), 0));
    event.Reset();  // on a clear event: must not block
    event.Set();
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.IsSet());  // looking does not consume it
    EXPECT_TRUE(Readable(event.Fd(), 0));
    event.Reset();  // one reset clears any number of sets
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(Readable(event.Fd(), 0));
}

TEST(PollableEvent, SetWakesAPollingThread) {
    PollableEvent event;
    auto poller = std::async(std::launch::async, [&] { return Readable(event.Fd(), 10000); });
    const auto start = steady_clock::now();
    event.Set();
    EXPECT_TRUE(poller.get());
    EXPECT_LT(ElapsedMs(start), 5000);
}

TEST(ScaledClock, SleepsAFractionAndReportsNominalTime) {
    ScaledClock clock(0.01);
    const int64_t before = clock.NowMs();
    const auto start = steady_clock::now();
    clock.Sleep(3000);
    const int64_t real = ElapsedMs(start);
    EXPECT_GE(real, 30);
    EXPECT_LT(real, 1500);
    EXPECT_GE(clock.NowMs() - before, 2999);
    EXPECT_EQ(clock.SleptMs(), 3000);
    clock.Sleep(0);
    clock.Sleep(1);
    EXPECT_EQ(clock.SleptMs(), 3001);
}

TEST(ScaledClock, WaitIsScaledAndSeesTheEvent) {
    ScaledClock clock(0.01);
    ManualResetEvent event;
    const auto start = steady_clock::now();
    EXPECT_FALSE(clock.Wait(event, 3000));
    const int64_t real = ElapsedMs(start);
    EXPECT_GE(real, 30);
    EXPECT_LT(real, 1500);

    auto waiter = std::async(std::launch::async, [&] { return clock.Wait(event, 1000000); });
    event.Set();
    EXPECT_TRUE(waiter.get());
}

TEST(Clock, NowIsMonotonic) {
    ScaledClock scaled(0.0);  // a nonsense factor must not stop time or divide by zero
    for (IClock* clock : {&RealClock(), static_cast<IClock*>(&scaled)}) {
        int64_t last = clock->NowMs();
        for (int i = 0; i < 1000; ++i) {
            const int64_t now = clock->NowMs();
            EXPECT_GE(now, last);
            last = now;
        }
    }
    ManualResetEvent set(true);
    EXPECT_TRUE(RealClock().Wait(set, 0));
}

// An ending server cuts every register wait short: a wait under way ends within its cap, later
// ones last at most the cap, a signal still ends a wait at once, and the time a cut wait did
// not spend shows in NowMs so that a loop waiting for a moment reaches it.
TEST(InterruptibleClock, CutsWaitsShortAndFastForwardsTheirTime) {
    InterruptibleClock clock(RealClock());
    ManualResetEvent never, soon;
    // Untouched it waits its time and sees the event.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(clock.Wait(never, 120));
    EXPECT_GE(ElapsedMs(t0), 110);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        soon.Set();
    });
    EXPECT_TRUE(clock.Wait(soon, 5000));
    setter.join();

    const int64_t before = clock.NowMs();
    t0 = std::chrono::steady_clock::now();
    auto waiting = std::async(std::launch::async, [&] { return clock.Wait(never, 60000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    clock.Interrupt(200);
    EXPECT_FALSE(waiting.get());
    EXPECT_LT(ElapsedMs(t0), 2000);
    EXPECT_GE(clock.NowMs() - before, 60000);  // as if the whole wait had passed

    // Later waits and sleeps last the cap at most; a loop until a moment gets there quickly.
    t0 = std::chrono::steady_clock::now();
    clock.Sleep(10000);
    const int64_t until = clock.NowMs() + 30000;
    int rounds = 0;
    while (clock.NowMs() < until && rounds < 1000) {
        clock.Wait(never, 5000);
        ++rounds;
    }
    EXPECT_LE(rounds, 6);
    EXPECT_LT(ElapsedMs(t0), 3000);
    EXPECT_TRUE(clock.Interrupted());
}

}  // namespace
}  // namespace vsk
