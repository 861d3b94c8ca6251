#include "link/serial_channel.h"

#include <gtest/gtest.h>
#include <linux/serial.h>
#include <termios.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "link/journal.h"
#include "link/message_container.h"
#include "link/settings.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "tests/platform/flaky_posix_calls.h"
#include "tests/platform/pseudo_terminal.h"
#include "tests/platform/test_env.h"

namespace vsk {
namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) {
        s += static_cast<char>(b);
    }
    return s;
}

class SerialChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(pty.slave.empty()) << "no pseudo-terminal";
        dir = temp.Path();
        for (const char* name : {"VSK_REGISTRY_DIR", "ProgramData", "XDG_CONFIG_HOME",
                                 "XDG_STATE_HOME", "XDG_DATA_HOME"}) {
            env.Set(name, dir + "/" + name);
        }
        ASSERT_TRUE(RegistryStore().SetValue(
            Hive::CurrentUser, "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports", "COM7", pty.slave));
        journal = std::make_unique<Journal>(7, true, 3, dir + "/journal");
        ASSERT_TRUE(journal->IsOpen());
        queue = std::make_unique<CMessageContainer>(journal.get());
    }
    // Closes the journal (lines after this are dropped) and returns its text.
    std::string JournalText() {
        journal->Close();
        std::ifstream in(journal->Path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static size_t Count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    }
    speed_t LineSpeed() const {
        termios t{};
        EXPECT_EQ(tcgetattr(pty.master, &t), 0);
        return cfgetospeed(&t);
    }

    test::PseudoTerminal pty;
    test::TempDir temp;
    test::ScopedEnv env;
    std::string dir;
    std::unique_ptr<Journal> journal;
    std::unique_ptr<CMessageContainer> queue;
    ScaledClock clock{0.01};
};

TEST_F(SerialChannelTest, OpenPportJournalsTheNameAndTakesTheBaudRateFromTheSettings) {
    SerialChannel channel(*journal, *queue, clock);
    ASSERT_TRUE(channel.OpenPport("COM7"));
    EXPECT_EQ(LineSpeed(), static_cast<speed_t>(B115200));

    SerialChannel other(*journal, *queue, clock);
    EXPECT_FALSE(other.OpenPport("COM7")) << "the port is in use";
    EXPECT_FALSE(channel.OpenPport("COM7")) << "already open";
    EXPECT_TRUE(channel.IsOpen());

    ASSERT_EQ(channel.Stop(), 0);
    ASSERT_TRUE(WriteConfigInt(kCurrentConfig, kBaudRate, 57600));
    ASSERT_TRUE(other.OpenPport("COM7"));
    EXPECT_EQ(LineSpeed(), static_cast<speed_t>(B57600));

    EXPECT_EQ(Count(JournalText(), ";OpenPport: PortName = COM7\r\n"), 4u);
}

TEST_F(SerialChannelTest, TheReaderDecodesFramesSplitOverManyWrites) {
    SerialChannel channel(*journal, *queue, clock);
    ASSERT_TRUE(channel.OpenPport("COM7"));
    channel.Start();
    ASSERT_TRUE(channel.IsRunning());

    // Noise, READY with its trailing bytes, and a data reply in code page 866 ("ТЕСТ").
    const std::string stream = Bytes({0x13, 0xFD, 'R',  'E',  'A',  'D',  'Y',  0x06, 0xFE, 0x00,
                                      0xAF, 0xFD, 0x92, 0x85, 0x91, 0x92, 0x05, 0xFE, 0x00, 0x11});
    for (char byte : stream) {
        ASSERT_TRUE(pty.Send(std::string(1, byte)));
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    EXPECT_EQ(queue->GetNextMessage(3000, RealClock()), "READY");
    EXPECT_EQ(queue->GetNextMessage(3000, RealClock()), "\xD2\xC5\xD1\xD2");
    EXPECT_TRUE(queue->IsEmpty());

    EXPECT_EQ(channel.Stop(), 0);
    EXPECT_EQ(Count(JournalText(), ";<< From Printer <<READY\r\n"), 1u);
}

TEST_F(SerialChannelTest, StartRunsOneReaderOnly) {
    const auto threads = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                             std::filesystem::directory_iterator{});
    };
    SerialChannel channel(*journal, *queue, clock);
    channel.Start();
    EXPECT_FALSE(channel.IsRunning()) << "no reader without a port";
    ASSERT_TRUE(channel.OpenPport("COM7"));
    const auto before = threads();
    channel.Start();
    channel.Start();
    EXPECT_EQ(threads(), before + 1);

    // One reader means each frame is decoded once, and whole.
    ASSERT_TRUE(pty.Send(Bytes({0xFD, 'R', 'E', 'A', 'D', 'Y', 0x06, 0xFE, 0x00, 0xAF})));
    EXPECT_EQ(queue->GetNextMessage(3000, RealClock()), "READY");
    EXPECT_EQ(queue->GetNextMessage(50, RealClock()), "");
}

TEST_F(SerialChannelTest, StopOnAClosedPortReturnsMinusOneWithoutSleeping) {
    SerialChannel channel(*journal, *queue, clock);
    EXPECT_EQ(channel.Stop(), -1);
    EXPECT_EQ(clock.SleptMs(), 0);

    ASSERT_TRUE(channel.OpenPport("COM7"));
    EXPECT_EQ(channel.Stop(), 0);
    EXPECT_EQ(clock.SleptMs(), 2500);
    EXPECT_EQ(channel.Stop(), -1);
    EXPECT_EQ(clock.SleptMs(), 2500);
}

TEST_F(SerialChannelTest, StopWakesAndJoinsTheReaderAtOnceAndReleasesThePort) {
    SerialChannel channel(*journal, *queue, clock);
    ASSERT_TRUE(channel.OpenPport("COM7"));
    channel.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it block in its wait

    const auto start = Clock::now();
    EXPECT_EQ(channel.Stop(), 0);
    EXPECT_LT(ElapsedMs(start), 800);  // 25 ms of scaled pause, the rest is the wake-up
    EXPECT_FALSE(channel.IsRunning());
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_EQ(clock.SleptMs(), 2500);

    SerialChannel next(*journal, *queue, clock);
    EXPECT_TRUE(next.OpenPport("COM7"));
    next.Start();
    EXPECT_TRUE(next.IsRunning());  // destroyed running: the destructor must join it
}

// A hung-up line is a device that went away: the reader says so at once, wakes whoever waits
// for a message, stops reading (no spinning), and the stop lets go without the pause.
TEST_F(SerialChannelTest, AHungUpLineIsADeviceGoneAndNeitherSpinsNorDelaysTheStop) {
    test::FlakyPosixCalls calls;
    SerialChannel channel(*journal, *queue, clock, calls);
    ASSERT_TRUE(channel.OpenPport("COM7"));
    EXPECT_EQ(channel.DevicePath(), pty.slave);
    channel.Start();
    EXPECT_FALSE(channel.DeviceGone());
    const auto start = Clock::now();
    pty.CloseMaster();  // a pseudo-terminal whose other end closed reports a hang-up for ever
    EXPECT_TRUE(RealClock().Wait(queue->Event(), 1000)) << "the waiter is woken";
    EXPECT_LT(ElapsedMs(start), 500);
    EXPECT_TRUE(channel.DeviceGone());
    EXPECT_TRUE(queue->IsEmpty());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(calls.polls.load(), 10);
    EXPECT_EQ(channel.Send("FEED1"), SendOutcome::DeviceGone);

    EXPECT_EQ(channel.Stop(), 0);
    EXPECT_EQ(clock.SleptMs(), 0) << "nobody is on the line to notice a pause";
    EXPECT_FALSE(channel.DeviceGone());
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_EQ(Count(JournalText(), "ERROR: The device went away: " + pty.slave), 1u);
}

TEST_F(SerialChannelTest, FailedReadsAreRetriedAndLineErrorsJournaledOnce) {
    test::FlakyPosixCalls calls;
    serial_icounter_struct base{};
    base.frame = 3;
    serial_icounter_struct bumped = base;
    bumped.frame += 1;
    bumped.parity += 2;
    calls.SetCounters({base, bumped});
    calls.readErrors = {EIO, EIO};

    SerialChannel channel(*journal, *queue, clock, calls);
    ASSERT_TRUE(channel.OpenPport("COM7"));
    channel.Start();
    ASSERT_TRUE(pty.Send(Bytes({0xFD, 'R', 'E', 'A', 'D', 'Y', 0x06, 0xFE, 0x00, 0xAF})));
    EXPECT_EQ(queue->GetNextMessage(3000, RealClock()), "READY");
    EXPECT_EQ(calls.PendingReadErrors(), 0u);
    ASSERT_EQ(channel.Stop(), 0);

    const std::string text = JournalText();
    EXPECT_EQ(Count(text, ";ERROR: Printer channel error:  CE_FRAME CE_RXPARITY\r\n"), 1u) << text;
    EXPECT_EQ(Count(text, "Printer channel error"), 1u) << text;
}

TEST(SerialChannelErrorText, NamesEachSetFlagInJournalOrder) {
    const struct {
        uint32_t flags;
        const char* text;
    } rows[] = {
        {0, ""},
        {0x10, "Printer channel error:  CE_BREAK"},
        {0x01 | 0x04, "Printer channel error:  CE_RXOVER CE_RXPARITY"},
        {0xFFFFFFFF,
         "Printer channel error:  CE_BREAK CE_FRAME CE_IOE CE_MODE CE_OVERRUN CE_RXOVER "
         "CE_RXPARITY CE_TXFULL"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(SerialChannel::ChannelErrorText(row.flags), row.text) << row.flags;
    }
}

TEST_F(SerialChannelTest, SendFramesJournalsAndMasksSecrets) {
    SerialChannel channel(*journal, *queue, clock);
    ASSERT_TRUE(channel.OpenPport("COM7"));

    EXPECT_EQ(channel.Send("CONF"), SendOutcome::Sent);
    EXPECT_EQ(pty.Drain(9), Bytes({0xFD, 0x43, 0x4F, 0x4E, 0x46, 0x05, 0xFE, 0x00, 0x22}));
    EXPECT_EQ(channel.Send(""), SendOutcome::Sent);
    EXPECT_EQ(pty.Drain(5), Bytes({0xFD, 0x01, 0xFE, 0x00, 0xDA}));
    EXPECT_EQ(channel.Send("PASS12345", 4, 4), SendOutcome::Sent);
    EXPECT_EQ(pty.Drain(14).size(), 14u);

    const std::string longest(kMaxCommandBytes, 'A');
    EXPECT_EQ(channel.Send(longest), SendOutcome::Sent);
    EXPECT_EQ(pty.Drain(kMaxCommandBytes + 5).size(), kMaxCommandBytes + 5);
    EXPECT_NE(channel.Send(longest + "A"), SendOutcome::Sent);
    EXPECT_EQ(pty.Drain(1, 50), "") << "a frame whose length byte lies went out";

    const uint8_t wake = 0x55;
    EXPECT_TRUE(channel.WriteRaw(&wake, 1));
    EXPECT_EQ(pty.Drain(1), "\x55");

    ASSERT_EQ(channel.Stop(), 0);
    EXPECT_NE(channel.Send("NULL"), SendOutcome::Sent) << "nothing can be written";
    EXPECT_FALSE(channel.WriteRaw(&wake, 1));

    const std::string text = JournalText();
    EXPECT_EQ(Count(text, ">>> To Printer >>>"), 5u) << "one per non-empty command";
    EXPECT_EQ(Count(text, ";>>> To Printer >>>CONF\r\n"), 1u);
    EXPECT_EQ(Count(text, ";>>> To Printer >>>PASS****5\r\n"), 1u);
    EXPECT_EQ(Count(text, ";ERROR: SendToPrinter: the command is too long"), 1u);
    EXPECT_EQ(Count(text, ";>>> To Printer >>>NULL\r\n"), 1u) << "journaled even when closed";
}

TEST(StatusText, StatusTextsAreThoseWithSoftHardOrShutdown) {
    const struct {
        const char* text;
        bool status;
    } rows[] = {
        {"SOFTANYTHING", true}, {"xHARDy", true}, {"SHUTDOWN", true}, {"READY", false},
        {"SHUT", false},        {"soft", false},  {"", false},        {"FISC0001", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(vsk::IsStatusText(row.text), row.status) << row.text;
    }
}

}  // namespace
}  // namespace vsk

namespace vsk {
namespace {

// Why a send wrote nothing is the reason the engine gives for the failure.
TEST_F(SerialChannelTest, SendTellsWhyNothingWentOut) {
    test::FlakyPosixCalls calls;
    calls.writeErrors = {EIO};
    SerialChannel channel(*journal, *queue, clock, calls);
    ASSERT_TRUE(channel.OpenPport("COM7"));
    EXPECT_EQ(channel.Send("CONF"), SendOutcome::WriteFailed);
    EXPECT_EQ(channel.Send(std::string(kMaxCommandBytes + 1, 'A')), SendOutcome::TooLong);
    EXPECT_EQ(channel.Send("CONF"), SendOutcome::Sent);
    EXPECT_EQ(pty.Drain(9).size(), 9u);
    ASSERT_EQ(channel.Stop(), 0);
    EXPECT_EQ(channel.Send("CONF"), SendOutcome::PortClosed);
}

}  // namespace
}  // namespace vsk
