#include <gtest/gtest.h>

#include "automation/port_registry.h"
#include "engine/vsk_core.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "tests/automation/test_support.h"

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

    // The idle step may let the holder unlock (the server serves other calls there).
    int idles = 0;
    EXPECT_TRUE(d->Lock(5000, [&](uint32_t ms) {
        EXPECT_EQ(ms, 100u);
        if (++idles == 2)
            d->Unlock();
    }));
    EXPECT_EQ(idles, 2);
    EXPECT_EQ(d->LockCount(), 1);
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
