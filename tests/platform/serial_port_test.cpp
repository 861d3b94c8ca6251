#include "platform/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/platform/flaky_posix_calls.h"
#include "tests/platform/pseudo_terminal.h"
#include "tests/platform/test_env.h"

namespace vsk {
namespace {

using Pty = test::PseudoTerminal;

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(pty.slave.empty()) << "no pseudo-terminal";
        dir = temp.Path();
        env.Set("VSK_REGISTRY_DIR", dir);
    }
    termios SlaveSettings() const {
        termios t{};  // on a pseudo-terminal the master reports the slave's settings
        EXPECT_EQ(tcgetattr(pty.master, &t), 0);
        return t;
    }

    Pty pty;
    test::TempDir temp;
    test::ScopedEnv env;
    std::string dir;
};

TEST_F(SerialPortTest, ResolvesComNamesThroughThePortsKeyElseTtyS) {
    RegistryStore store;
    ASSERT_TRUE(store.SetValue(Hive::CurrentUser, "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports",
                               "COM5", std::string("/dev/ttyUSB7")));
    ASSERT_TRUE(store.SetValue(Hive::CurrentUser, "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports",
                               "COM6", uint32_t{3}));
    const struct {
        const char* name;
        const char* path;
    } rows[] = {
        {"COM1", "/dev/ttyS0"},   {"com12", "/dev/ttyS11"},
        {"COM5", "/dev/ttyUSB7"}, {"cOm5", "/dev/ttyUSB7"},
        {"COM6", "/dev/ttyS5"},  // a DWORD is no path
        {"COM0", "COM0"},         {"COM", "COM"},
        {"COM1x", "COM1x"},       {"/dev/pts/3", "/dev/pts/3"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(SerialPort::ResolvePortName(row.name), row.path) << row.name;
    }
}

// A pseudo-terminal forces CS8 and drops PARENB, so the parity request is checked on its way to
// the driver and the rest on the slave side too.
TEST_F(SerialPortTest, OpenAppliesTheRegisterLineSettings) {
    test::FlakyPosixCalls calls;
    SerialPort port(calls);
    ASSERT_TRUE(port.Open(pty.slave)) << port.LastError();
    const termios asked = calls.applied;
    EXPECT_EQ(asked.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(asked.c_cflag & PARENB, 0u);
    EXPECT_EQ(asked.c_cflag & (PARODD | CMSPAR | CRTSCTS), 0u);
    EXPECT_NE(asked.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(asked.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_NE(asked.c_iflag & INPCK, 0u);
    EXPECT_EQ(asked.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | PARMRK), 0u);

    const termios t = SlaveSettings();
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(t.c_iflag & INPCK, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));

    // A speed change keeps the rest of the line as the driver holds it.
    ASSERT_TRUE(port.SetBaudRate(57600));
    EXPECT_EQ(cfgetospeed(&calls.applied), static_cast<speed_t>(B57600));
    EXPECT_EQ(calls.applied.c_cflag & ~CBAUD, t.c_cflag & ~CBAUD) << "stop bits or size lost";
    EXPECT_EQ(calls.applied.c_iflag, t.c_iflag);
    const termios after = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B57600));
    EXPECT_EQ(after.c_iflag, t.c_iflag);
    EXPECT_FALSE(port.SetBaudRate(12345));
    EXPECT_EQ(port.LastErrno(), EINVAL);
}

TEST_F(SerialPortTest, OpenTakesTheBaudRateAndResolvesMappedComNames) {
    ASSERT_TRUE(RegistryStore().SetValue(
        Hive::CurrentUser, "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports", "COM9", pty.slave));
    SerialPort port;
    ASSERT_TRUE(port.Open("COM9", 57600)) << port.LastError();
    EXPECT_EQ(port.Path(), pty.slave);
    const termios t = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
}

TEST_F(SerialPortTest, OpenIsExclusiveUntilClosed) {
    SerialPort first;
    ASSERT_TRUE(first.Open(pty.slave));
    SerialPort second;
    EXPECT_FALSE(second.Open(pty.slave));
    EXPECT_EQ(second.LastErrno(), EBUSY);
    EXPECT_FALSE(second.IsOpen());

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SerialPort other;
        _exit(other.Open(pty.slave) ? 1 : (other.LastErrno() == EBUSY ? 0 : 2));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the child opened the port; 2: another error";

    first.Close();
    EXPECT_TRUE(second.Open(pty.slave)) << second.LastError();
}

TEST_F(SerialPortTest, OpenFailsForMissingDevicesAndNonTerminals) {
    SerialPort port;
    EXPECT_FALSE(port.Open(dir + "/no-such-tty"));
    EXPECT_EQ(port.LastErrno(), ENOENT);
    const std::string file = dir + "/plain";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    EXPECT_FALSE(port.Open(file));
    EXPECT_EQ(port.LastErrno(), ENOTTY);
    EXPECT_FALSE(port.IsOpen());
    // The failed open left nothing locked.
    EXPECT_TRUE(port.Open(pty.slave)) << port.LastError();
}

TEST_F(SerialPortTest, BytesTravelBothWaysAndAHangupIsReported) {
    SerialPort port;
    ASSERT_TRUE(port.Open(pty.slave));
    uint8_t buf[64];
    EXPECT_EQ(port.Read(buf, sizeof buf), 0) << port.LastError();  // nothing waiting
    EXPECT_EQ(port.Wait(-1, 0), SerialPort::WaitResult::Timeout);

    const uint8_t frame[] = {0xFD, 'a', 'b', 'c', 0x04, 0xFE, 0x00, 0x25};
    ASSERT_TRUE(port.Write(frame, sizeof frame));
    EXPECT_EQ(pty.Drain(sizeof frame), std::string(reinterpret_cast<const char*>(frame), 8));

    const uint8_t reply[] = {0xFD, 'R', 'E', 'A', 'D', 'Y', 0x06, 0xFE, 0x0D, 0x0A};
    ASSERT_EQ(write(pty.master, reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
    ASSERT_EQ(port.Wait(-1, 1000), SerialPort::WaitResult::Readable);
    EXPECT_EQ(port.Read(buf, sizeof buf), static_cast<long>(sizeof reply));  // raw: CR LF kept
    EXPECT_EQ(std::memcmp(buf, reply, sizeof reply), 0);

    pty.CloseMaster();
    EXPECT_EQ(port.Wait(-1, 1000), SerialPort::WaitResult::Hangup);
    EXPECT_EQ(port.Read(buf, sizeof buf), -1);
    EXPECT_EQ(port.LastErrno(), EIO);
    EXPECT_FALSE(port.Write(frame, sizeof frame));
}

TEST_F(SerialPortTest, TheStopDescriptorWinsOverWaitingBytes) {
    SerialPort port;
    ASSERT_TRUE(port.Open(pty.slave));
    ASSERT_EQ(write(pty.master, "x", 1), 1);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(write(pipeFds[1], "s", 1), 1);
    EXPECT_EQ(port.Wait(pipeFds[0], 1000), SerialPort::WaitResult::Stopped);
    EXPECT_EQ(port.Wait(-1, 1000), SerialPort::WaitResult::Readable);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST_F(SerialPortTest, WriteDeliversEveryByteThroughInterruptionsAndPartialWrites) {
    test::FlakyPosixCalls calls;
    SerialPort port(calls);
    ASSERT_TRUE(port.Open(pty.slave));
    calls.writeErrors = {EINTR, 0, EAGAIN, 0, EINTR};
    calls.maxWriteChunk = 3;
    std::vector<uint8_t> bytes(40);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(0xC0 + i);
    }
    ASSERT_TRUE(port.Write(bytes.data(), bytes.size())) << port.LastError();
    EXPECT_EQ(pty.Drain(bytes.size()), std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(calls.writeCalls, 3 + 14);  // three failures, then 40 bytes three at a time
    EXPECT_EQ(calls.writeWaits, 1);       // only EAGAIN waits for the driver
}

TEST_F(SerialPortTest, WriteReportsHardErrorsAndAStalledDriver) {
    test::FlakyPosixCalls calls;
    SerialPort port(calls);
    ASSERT_TRUE(port.Open(pty.slave));
    const uint8_t byte = 0x55;

    calls.writeErrors = {EIO};
    EXPECT_FALSE(port.Write(&byte, 1));
    EXPECT_EQ(port.LastErrno(), EIO);

    calls.writeErrors = {EAGAIN};
    calls.driverStalled = true;
    EXPECT_FALSE(port.Write(&byte, 1));
    EXPECT_EQ(port.LastErrno(), ETIMEDOUT);
    EXPECT_EQ(pty.Drain(1, 50), "");
}

// The wait for room to write is retried when interrupted, and its failure fails the write.
TEST_F(SerialPortTest, TheWaitForRoomToWriteRetriesInterruptionsAndReportsFailures) {
    test::FlakyPosixCalls calls;
    SerialPort port(calls);
    ASSERT_TRUE(port.Open(pty.slave));
    const uint8_t byte = 0x55;

    calls.writeErrors = {EAGAIN};
    calls.writeWaitErrors = {EINTR, EINTR};
    EXPECT_TRUE(port.Write(&byte, 1)) << port.LastError();
    EXPECT_EQ(calls.writeWaits, 3);
    EXPECT_EQ(pty.Drain(1), "U");

    calls.writeErrors = {EAGAIN};
    calls.writeWaitErrors = {ENOMEM};
    EXPECT_FALSE(port.Write(&byte, 1));
    EXPECT_EQ(port.LastErrno(), ENOMEM);
    EXPECT_EQ(pty.Drain(1, 50), "");
}

// The wait for input is retried when interrupted, and only then: once it has an answer, an
// errno left over from the interruption does not make it wait again.
TEST_F(SerialPortTest, TheWaitForInputRetriesOnlyInterruptions) {
    test::FlakyPosixCalls calls;
    SerialPort port(calls);
    ASSERT_TRUE(port.Open(pty.slave));
    ASSERT_EQ(write(pty.master, "OK", 2), 2);
    calls.maxWaits = 10;
    calls.waitErrors = {EINTR, EINTR};
    EXPECT_EQ(port.Wait(-1, 1000), SerialPort::WaitResult::Readable) << port.LastError();
    EXPECT_EQ(calls.waits, 3);

    calls.waits = 0;
    calls.waitErrors = {ENOMEM};
    EXPECT_EQ(port.Wait(-1, 1000), SerialPort::WaitResult::Failed);
    EXPECT_EQ(port.LastErrno(), ENOMEM);
    EXPECT_EQ(calls.waits, 1);
}

TEST_F(SerialPortTest, ReadRetriesInterruptedCalls) {
    test::FlakyPosixCalls calls;
    SerialPort port(calls);
    ASSERT_TRUE(port.Open(pty.slave));
    ASSERT_EQ(write(pty.master, "OK", 2), 2);
    ASSERT_EQ(port.Wait(-1, 1000), SerialPort::WaitResult::Readable);
    calls.readErrors = {EINTR, EINTR};
    uint8_t buf[8];
    EXPECT_EQ(port.Read(buf, sizeof buf), 2);
}

TEST_F(SerialPortTest, LineErrorsAreCounterDeltasSinceTheLastLook) {
    test::FlakyPosixCalls calls;
    serial_icounter_struct base{};
    base.frame = 5;
    base.parity = 1;
    calls.SetCounters({base});
    SerialPort port(calls);
    ASSERT_TRUE(port.Open(pty.slave));
    EXPECT_EQ(port.TakeLineErrors(), 0u);  // what happened before Open is not ours

    struct Row {
        int serial_icounter_struct::*field;
        uint32_t flag;
    };
    const Row rows[] = {
        {&serial_icounter_struct::brk, kCeBreak},
        {&serial_icounter_struct::frame, kCeFrame},
        {&serial_icounter_struct::overrun, kCeOverrun},
        {&serial_icounter_struct::buf_overrun, kCeRxOver},
        {&serial_icounter_struct::parity, kCeRxParity},
    };
    serial_icounter_struct now = base;
    for (const auto& row : rows) {
        now.*row.field += 2;
        now.rx += 7;  // ordinary traffic is no error
        calls.SetCounters({now});
        EXPECT_EQ(port.TakeLineErrors(), row.flag);
        EXPECT_EQ(port.TakeLineErrors(), 0u) << "the same count reported twice";
    }
    now.brk += 1;
    now.overrun += 1;
    calls.SetCounters({now});
    EXPECT_EQ(port.TakeLineErrors(), kCeBreak | kCeOverrun);
}

TEST_F(SerialPortTest, PseudoTerminalsHaveNoLineErrorsAndNoModemLineFailures) {
    SerialPort port;
    ASSERT_TRUE(port.Open(pty.slave));
    EXPECT_EQ(port.TakeLineErrors(), 0u);
    EXPECT_TRUE(port.SetDtr(false));
    EXPECT_TRUE(port.SetDtr(true));
    EXPECT_TRUE(port.Purge());
}

}  // namespace
}  // namespace vsk
