#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <numeric>
#include <thread>

#include "engine/vsk_core.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "server/port_registry.h"
#include "tests/rpc/test_support.h"

namespace {

class PortRegistryTest : public ::testing::Test {
protected:
    vsk::test::TempEnv env;
    vsk::ScaledClock clock{0.001};
    CVSKPortManager ports{{}, &clock};

    std::vector<CVSKPortManager::ConnectionRow> Rows() {
        std::vector<CVSKPortManager::ConnectionRow> rows;
        ports.FillConnectionsList(rows);
        return rows;
    }
};

TEST_F(PortRegistryTest, OneDescriptorPerPortSharedByItsClients) {
    bool created = false;
    CVSKPortDescriptor* first = ports.AttachClient(3, "Kasa", &created);
    EXPECT_TRUE(created);
    ASSERT_NE(first->GetCore(), nullptr);
    EXPECT_EQ(first->GetCore()->GetPortNumber(), 3);
    CVSKPortDescriptor* second = ports.AttachClient(3, "Buh", &created);
    EXPECT_FALSE(created);
    EXPECT_EQ(second, first);
    EXPECT_EQ(first->ClientCount(), 2);
    ports.AttachClient(4, "Kasa", &created);
    EXPECT_TRUE(created);
    EXPECT_EQ(ports.PortCount(), 2u);
}

TEST_F(PortRegistryTest, LastReleaseDestroysTheDescriptor) {
    bool created;
    CVSKPortDescriptor* d = ports.AttachClient(3, "Kasa", &created);
    ports.AttachClient(3, "Kasa", &created);
    EXPECT_FALSE(ports.ReleaseClient(3, "Kasa"));
    EXPECT_EQ(d->ClientCount(), 1);
    EXPECT_EQ(d->ClientNames(), std::vector<std::string>{"Kasa"});
    EXPECT_TRUE(ports.ReleaseClient(3, "Kasa"));
    EXPECT_EQ(ports.PortCount(), 0u);
    EXPECT_FALSE(ports.ReleaseClient(3, "Kasa"));  // not in the map: nothing happens

    // A release under a name that is not listed still counts.
    d = ports.AttachClient(5, "A", &created);
    ports.AttachClient(5, "B", &created);
    EXPECT_FALSE(ports.ReleaseClient(5, "Z"));
    EXPECT_EQ(d->ClientNames().size(), 2u);
    EXPECT_TRUE(ports.ReleaseClient(5, "Z"));
}

TEST_F(PortRegistryTest, ConnectionsListShowsLockSerialAndEveryClient) {
    const std::string unknown = vsk::Utf8ToCp1251("НЕВІДОМИЙ");
    bool created;
    CVSKPortDescriptor* d = ports.AttachClient(3, "Kasa", &created);
    ports.AttachClient(3, "", &created);
    ports.AttachClient(3, "Sklad", &created);
    ASSERT_TRUE(d->Lock(1000));
    ports.AttachClient(7, "Buh", &created);
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].port, "COM3 LOCKED");
    EXPECT_EQ(rows[0].serial, unknown);  // printer information not read yet
    EXPECT_EQ(rows[0].client, "Kasa");
    EXPECT_EQ(rows[1].port, "");
    EXPECT_EQ(rows[1].client, unknown);
    EXPECT_EQ(rows[2].port, "");
    EXPECT_EQ(rows[2].client, "Sklad");
    EXPECT_EQ(rows[3].port, "COM7");
    d->Unlock();
    EXPECT_EQ(Rows()[0].port, "COM3");
}

TEST_F(PortRegistryTest, LockPollsEvery100msUntilTheTimeout) {
    bool created;
    CVSKPortDescriptor* d = ports.AttachClient(3, "Kasa", &created);
    EXPECT_FALSE(d->Lock(0));  // never obtains, even on a free port
    EXPECT_EQ(clock.SleptMs(), 0);
    EXPECT_TRUE(d->Lock(1));
    EXPECT_FALSE(d->Lock(250));
    EXPECT_EQ(clock.SleptMs(), 300);  // three sleeps of 100 ms
    EXPECT_TRUE(d->Unlock());
    EXPECT_TRUE(d->Unlock());  // an unlock of a free port changes nothing
    EXPECT_EQ(d->LockCount(), 0);
    EXPECT_TRUE(d->Lock(100));

    EXPECT_EQ(d->LockCount(), 1);
}

// Waiting lockers queue on the port (memory, not stack): first come, first served, each
// ending once, on grant, time-out or cancel.
TEST_F(PortRegistryTest, LockWaitersAreServedInArrivalOrder) {
    bool created;
    CVSKPortDescriptor* d = ports.AttachClient(3, "Kasa", &created);
    int holder = 0;
    std::vector<int> granted, refused;
    auto waitAs = [&](int who, uint32_t ms) {
        return d->LockAsync(ms, &who + who,
                            [&, who](bool ok) { (ok ? granted : refused).push_back(who); });
    };
    EXPECT_EQ(d->LockAsync(0, &holder, [&](bool ok) { (ok ? granted : refused).push_back(0); }),
              0u);  // 0 never obtains, even on a free port
    EXPECT_EQ(refused, std::vector<int>{0});
    refused.clear();
    EXPECT_EQ(waitAs(1, 1000), 0u);  // free: obtained at once
    EXPECT_EQ(granted, std::vector<int>{1});
    const int kWaiters = 1000;
    std::vector<uint64_t> tickets;
    for (int i = 2; i < 2 + kWaiters; ++i)
        tickets.push_back(waitAs(i, i == 5 ? 1 : 60000));
    EXPECT_EQ(d->LockWaiters(), size_t(kWaiters));
    d->CancelLockWait(tickets[1]);  // waiter 3 leaves
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GT(d->ExpireLockWaits(std::chrono::steady_clock::now()), 50000);  // waiter 5 ends
    EXPECT_EQ(refused, (std::vector<int>{3, 5}));
    for (int i = 0; i < kWaiters - 2; ++i)
        d->Unlock();  // each unlock hands the lock to the next in line
    ASSERT_EQ(granted.size(), size_t(kWaiters - 1));
    EXPECT_TRUE(std::is_sorted(granted.begin(), granted.end()));
    EXPECT_EQ(granted[1], 2);
    EXPECT_EQ(granted[2], 4);
    EXPECT_EQ(d->LockCount(), 1);
    EXPECT_EQ(d->LockWaiters(), 0u);
}

TEST_F(PortRegistryTest, AClientThatGoesAwayGivesItsLockBack) {
    bool created;
    CVSKPortDescriptor* d = ports.AttachClient(3, "Kasa", &created);
    int a = 0, b = 0, c = 0;
    std::vector<const void*> order;
    ASSERT_TRUE(d->Lock(100, &a));
    d->LockAsync(60000, &b, [&](bool ok) { order.push_back(ok ? &b : nullptr); });
    d->LockAsync(60000, &c, [&](bool ok) { order.push_back(ok ? &c : nullptr); });
    d->GiveBackLock(&c);  // a waiter that goes away ends its wait
    d->GiveBackLock(&b);  // not the holder: nothing to give back, but its wait ends
    EXPECT_EQ(order, (std::vector<const void*>{nullptr, nullptr}));
    EXPECT_EQ(d->LockCount(), 1);
    d->GiveBackLock(&a);
    EXPECT_EQ(d->LockCount(), 0);

    // Unlocked by somebody else since: the lock is no longer the departed client's.
    ASSERT_TRUE(d->Lock(100, &a));
    d->Unlock();
    ASSERT_TRUE(d->Lock(100, &b));
    d->GiveBackLock(&a);
    EXPECT_EQ(d->LockCount(), 1);
}

// The last release does not wait for the port to close (that runs on the port's worker), but
// whoever must know it closed can wait for it; a new client of the port waits for it too.
TEST(PortRegistryClosing, ReleaseHandsTheClosingToTheWorkerAndCanBeWaitedFor) {
    vsk::test::TempEnv env;
    struct SlowEngine : CVSKCore {
        SlowEngine(int32_t port, vsk::IClock& clock, std::atomic<int>& closed,
                   std::atomic<int>& onCaller)
            : CVSKCore(port, &clock), m_closed(closed), m_onCaller(onCaller) {}
        ~SlowEngine() override {
            if (std::this_thread::get_id() == m_caller)
                ++m_onCaller;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ++m_closed;
        }
        std::atomic<int>& m_closed;
        std::atomic<int>& m_onCaller;
        std::thread::id m_caller = std::this_thread::get_id();
    };
    std::atomic<int> closed{0}, onCaller{0};
    CVSKPortManager ports([&](int32_t port, vsk::IClock& clock) {
        return std::make_unique<SlowEngine>(port, clock, closed, onCaller);
    });
    bool created;
    ports.AttachClient(3, "A", &created);
    ports.AttachClient(4, "B", &created);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ports.ReleaseClient(3, "A"));
    EXPECT_TRUE(ports.ReleaseClient(4, "B"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    ports.WaitForClosings();
    EXPECT_EQ(closed, 2);  // both closed, side by side
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(550));

    ports.AttachClient(3, "C", &created);
    EXPECT_TRUE(ports.ReleaseClient(3, "C"));
    ports.AttachClient(3, "D", &created);  // waits for C's closing: the port is free again
    EXPECT_TRUE(created);
    EXPECT_EQ(closed, 3);
    EXPECT_EQ(onCaller, 0);  // never closed on the releasing thread
}

// Port threads are bounded: a call to one port too many is refused, and a port whose closing
// cannot have a thread closes on the releasing one.
TEST_F(PortRegistryTest, PortThreadsAreBounded) {
    ports.SetWorkerLimit(2);
    std::atomic<bool> release{false};
    auto hold = [&] {
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    EXPECT_TRUE(ports.RunOnPort(1, hold));
    EXPECT_TRUE(ports.RunOnPort(2, hold));
    EXPECT_TRUE(ports.RunOnPort(2, [] {}));  // the port's own thread takes more
    std::atomic<bool> ran{false};
    EXPECT_FALSE(ports.RunOnPort(3, [&] { ran = true; }));
    bool created;
    ports.AttachClient(3, "Kasa", &created);
    EXPECT_TRUE(ports.ReleaseClient(3, "Kasa"));  // closed here, without a thread
    EXPECT_EQ(ports.PortCount(), 0u);
    release = true;
    for (int i = 0; i < 5000 && ports.WorkerCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(ports.RunOnPort(3, [&] { ran = true; }));
    ports.WaitForClosings();
    for (int i = 0; i < 5000 && !ran; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(ran);
}

// A port's calls run on its own thread, in the order handed in; another port's do not wait
// for them; a port with nothing open keeps no thread.
TEST_F(PortRegistryTest, EachPortRunsItsCallsOnItsOwnWorker) {
    std::mutex m;
    std::vector<int> order;
    std::atomic<bool> release{false};
    std::atomic<bool> otherRan{false};
    ports.RunOnPort(3, [&] {
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    for (int i = 0; i < 50; ++i)
        ports.RunOnPort(3, [&, i] {
            EXPECT_TRUE(ports.OnPortWorker(3));
            std::lock_guard lock(m);
            order.push_back(i);
        });
    ports.RunOnPort(4, [&] { otherRan = true; });
    for (int i = 0; i < 2000 && !otherRan; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(otherRan);  // port 3 is still busy
    release = true;
    for (int i = 0; i < 5000 && ports.WorkerCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(ports.WorkerCount(), 0u);
    std::vector<int> expected(50);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);
    EXPECT_FALSE(ports.OnPortWorker(3));
}

// The lock outlives the client that took it and ends with the descriptor.
TEST_F(PortRegistryTest, LockSurvivesItsClientButNotTheDescriptor) {
    bool created;
    CVSKPortDescriptor* d = ports.AttachClient(3, "A", &created);
    ports.AttachClient(3, "B", &created);
    ASSERT_TRUE(d->Lock(100));
    ports.ReleaseClient(3, "A");
    EXPECT_EQ(d->LockCount(), 1);
    ports.ReleaseClient(3, "B");
    d = ports.AttachClient(3, "C", &created);
    EXPECT_TRUE(created);
    EXPECT_EQ(d->LockCount(), 0);
}

}  // namespace
