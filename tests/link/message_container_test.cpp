#include "link/message_container.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "link/journal.h"
#include "platform/clock.h"

namespace {

vsk::PrinterMessage Message(std::string_view text) {
    vsk::PrinterMessage m;
    m.length = static_cast<uint8_t>(text.size());
    std::memcpy(m.text, text.data(), text.size());
    return m;
}

TEST(MessageContainer, HoldsSixtyThreeAndRefusesTheNewest) {
    CMessageContainer queue(nullptr);
    for (int i = 0; i < 63; ++i) {
        ASSERT_TRUE(queue.Put(Message("M" + std::to_string(i)))) << i;
    }
    EXPECT_FALSE(queue.Put(Message("LOST")));
    EXPECT_EQ(queue.PeekText(), "M0");  // the queued ones stay

    ASSERT_TRUE(queue.Pop());
    EXPECT_TRUE(queue.Put(Message("M63")));
    EXPECT_FALSE(queue.Put(Message("LOST")));
    for (int i = 1; i <= 63; ++i) {
        ASSERT_EQ(queue.PeekText(), "M" + std::to_string(i));
        ASSERT_TRUE(queue.Pop());
    }
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_EQ(queue.Peek(), nullptr);
    EXPECT_FALSE(queue.Pop());
}

TEST(MessageContainer, RefusesEmptyRecord) {
    CMessageContainer queue(nullptr);
    EXPECT_FALSE(queue.Put(vsk::PrinterMessage{}));
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_FALSE(queue.Event().IsSet());
}

TEST(MessageContainer, KeepsOrderAcrossWrapAndLeavesNoResidue) {
    CMessageContainer queue(nullptr);
    int put = 0;
    int taken = 0;
    // Varying fill levels and lengths: a short message in a slot that held a long one must not
    // show the long one's tail.
    for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < round % 9 + 1; ++i, ++put) {
            const std::string text = std::to_string(put) + std::string(put % 3 == 0 ? 200 : 0, '#');
            ASSERT_TRUE(queue.Put(Message(text)));
        }
        while (taken < put - 2) {
            const std::string expected =
                std::to_string(taken) + std::string(taken % 3 == 0 ? 200 : 0, '#');
            const uint8_t* slot = queue.Peek();
            ASSERT_NE(slot, nullptr);
            ASSERT_EQ(slot[0], expected.size());
            ASSERT_EQ(queue.PeekText(), expected);
            ASSERT_TRUE(queue.Pop());
            ++taken;
        }
    }
    EXPECT_GT(put, 2 * CMessageContainer::kCapacity);
}

TEST(MessageContainer, StoresLongestTextsWhole) {
    CMessageContainer queue(nullptr);
    for (size_t length : {size_t{254}, size_t{255}}) {
        const std::string text(length, '\xE0');
        ASSERT_TRUE(queue.Put(Message(text)));
        const uint8_t* slot = queue.Peek();
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot[0], length);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(slot + 1), length), text);
        EXPECT_EQ(slot[1 + length], 0);
        queue.Pop();
    }
}

TEST(MessageContainer, EventFollowsTheManualResetRules) {
    CMessageContainer queue(nullptr);
    vsk::ScaledClock clock(0.01);
    EXPECT_FALSE(queue.Event().IsSet());
    queue.Put(Message("A"));
    queue.Put(Message("B"));
    EXPECT_TRUE(queue.Event().IsSet());
    queue.Pop();
    EXPECT_TRUE(queue.Event().IsSet()) << "one message still waits";
    queue.Pop();
    EXPECT_FALSE(queue.Event().IsSet());
    EXPECT_FALSE(clock.Wait(queue.Event(), 1000)) << "nothing left: the wait runs to its end";
    EXPECT_FALSE(queue.Pop());
    EXPECT_FALSE(queue.Event().IsSet());
}

// The reader's Set can come after the engine already took the message it announced (the index
// is published first). Such a signal is taken back, so that the next wait sleeps instead of
// waking at once for ever; a signal with a message behind it stays.
TEST(MessageContainer, ASignalThatOutlivedItsMessageIsTakenBack) {
    CMessageContainer queue(nullptr);
    vsk::ScaledClock clock(0.01);
    queue.Put(Message("A"));
    queue.Pop();
    const_cast<vsk::ManualResetEvent&>(queue.Event()).Set();  // the late Set of that Put
    EXPECT_FALSE(queue.SettleEvent());
    EXPECT_FALSE(queue.Event().IsSet());
    EXPECT_FALSE(clock.Wait(queue.Event(), 1000)) << "nothing waits: the wait runs to its end";
    queue.Put(Message("B"));
    EXPECT_TRUE(queue.SettleEvent());
    EXPECT_TRUE(queue.Event().IsSet());
    EXPECT_EQ(queue.GetNextMessage(1000, clock), "B");
}

TEST(MessageContainer, GetNextMessage) {
    CMessageContainer queue(nullptr);
    vsk::ScaledClock clock(0.01);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.GetNextMessage(0, clock), "");
    EXPECT_EQ(queue.GetNextMessage(1000, clock), "");  // waits 10 ms real
    queue.Put(Message("READY"));
    queue.Put(Message("SOFTPAPER"));
    EXPECT_EQ(queue.GetNextMessage(0, clock), "READY");
    EXPECT_EQ(queue.GetNextMessage(0xFFFFFFFF, clock), "SOFTPAPER");
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(MessageContainer, PutEndsAWaitOnTheEvent) {
    CMessageContainer queue(nullptr);
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the consumer wait
        queue.Put(Message("READY"));
    });
    const auto start = std::chrono::steady_clock::now();
    const std::string text = queue.GetNextMessage(60000, vsk::RealClock());
    const auto waited = std::chrono::steady_clock::now() - start;
    producer.join();
    EXPECT_EQ(text, "READY");
    EXPECT_LT(waited, std::chrono::seconds(10));
}

TEST(MessageContainer, WritesFromPrinterLinesThroughTheOwner) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("vsk_queue_journal_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    ::setenv("ProgramData", dir.c_str(), 1);
    std::string path;
    {
        vsk::Journal journal(7, true, 3, dir.string() + "/");
        ASSERT_TRUE(journal.IsOpen());
        path = journal.Path();
        CMessageContainer queue(&journal, 2);  // room for one message
        EXPECT_TRUE(queue.Put(Message("READY")));
        EXPECT_FALSE(queue.Put(Message("REFUSED")));
        journal.Close();
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    EXPECT_NE(text.find("<< From Printer <<READY\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("REFUSED"), std::string::npos) << "a refused message is not journalled";
    std::filesystem::remove_all(dir);
}

// One producer, one consumer, a million messages: every message arrives once, intact, in order.
// The producer behaves like a reader that waits for room rather than dropping, so nothing may go
// missing; the consumer waits on the event with a time-out as the engine does.
TEST(MessageContainer, TwoThreadStressKeepsOrderAndLosesNothing) {
    constexpr uint32_t kCount = 1'000'000;
    CMessageContainer queue(nullptr);
    std::atomic<bool> stop{false};

    std::thread producer([&] {
        for (uint32_t i = 0; i < kCount; ++i) {
            vsk::PrinterMessage m;
            m.length = static_cast<uint8_t>(sizeof(i) + i % 32);
            std::memcpy(m.text, &i, sizeof(i));
            std::memset(m.text + sizeof(i), static_cast<int>('a' + i % 26), i % 32);
            while (!queue.Put(m)) {
                if (stop.load()) {
                    return;
                }
                std::this_thread::yield();
            }
        }
    });

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    uint32_t expected = 0;
    while (expected < kCount && std::chrono::steady_clock::now() < deadline) {
        if (!queue.Event().Wait(100)) {
            // With messages waiting and the producer's last Put long finished, the event must
            // be signalled: otherwise a signal was lost.
            if (!queue.IsEmpty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                if (!queue.IsEmpty() && !queue.Event().IsSet()) {
                    ADD_FAILURE() << "messages wait but the event is not signalled";
                    break;
                }
            }
            continue;
        }
        bool corrupt = false;
        while (!queue.IsEmpty()) {
            const uint8_t* slot = queue.Peek();
            uint32_t seq = 0;
            std::memcpy(&seq, slot + 1, sizeof(seq));
            const size_t fill = seq % 32;
            if (seq != expected || slot[0] != sizeof(seq) + fill ||
                slot[1 + sizeof(seq) + fill] != 0 ||
                (fill != 0 && slot[sizeof(seq) + fill] != 'a' + seq % 26)) {
                ADD_FAILURE() << "expected message " << expected << ", got " << seq;
                corrupt = true;
                break;
            }
            queue.Pop();
            ++expected;
        }
        if (corrupt) {
            break;
        }
    }
    stop.store(true);
    producer.join();
    EXPECT_EQ(expected, kCount);
    EXPECT_TRUE(queue.IsEmpty());
}

}  // namespace
