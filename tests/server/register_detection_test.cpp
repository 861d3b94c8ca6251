// Detection of the registers on a table of devices laid out as the kernel would: emulated
// registers on pseudo-terminals at either speed, devices held by another program, a line
// nobody answers on, one that answers in another protocol, and devices that cannot be opened.
#include "server/register_detection.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "emulator/pty_register.h"
#include "emulator/register.h"
#include "link/frame.h"
#include "platform/serial_port.h"

namespace vsk {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Result = DetectedDevice::Result;

// A register of the emulator on a pseudo-terminal of its own, in this process.
struct Emulated {
    Emulated(const char* model, emu::LineFaults faults = {})
        : reg(*emu::FindModel(model)), pty(reg, faults) {
        std::string error;
        EXPECT_TRUE(pty.Open(error) && pty.Start(error)) << error;
    }
    emu::Register reg;
    emu::PtyRegister pty;
};

// A pseudo-terminal whose other end is a device that is no register: it never answers, or it
// answers anything with a modem's "OK", or it answers the first byte with the register's READY
// and then never stops sending frames of its own.
class OtherDevice {
public:
    enum Kind { kSilent, kModem, kChatty };
    explicit OtherDevice(Kind kind) : m_kind(kind) {
        char name[64] = "";
        EXPECT_EQ(openpty(&m_master, &m_slave, name, nullptr, nullptr), 0);
        path = name;
        if (kind != kSilent)
            m_thread = std::thread([this] { Answer(); });
    }
    ~OtherDevice() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        close(m_master);
        close(m_slave);
    }
    std::string path;

private:
    void Send(std::string_view text) {
        std::vector<uint8_t> frame;
        EncodeFrame(text, frame);
        (void)!write(m_master, frame.data(), frame.size());
    }
    void Answer() {
        bool woken = false;
        while (!m_stop) {
            pollfd p{m_master, POLLIN, 0};
            const bool readable = poll(&p, 1, 20) > 0;
            char buffer[64];
            if (readable && read(m_master, buffer, sizeof buffer) > 0) {
                if (m_kind == kModem)
                    (void)!write(m_master, "\r\nOK\r\n", 6);
                else if (!woken)
                    Send("READY");
                woken = true;
            } else if (m_kind == kChatty && woken) {
                Send("ECHO");
            }
        }
    }
    Kind m_kind;
    int m_master = -1, m_slave = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

speed_t SpeedOf(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    return cfgetospeed(&t);
}

class DetectionTable : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vsk-detect-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::create_directories(root + "/dev/serial/by-id");
        fs::create_directories(root + "/dev/vsk");
        fs::create_directories(root + "/sys/class/tty/ttyS0");
        std::ofstream(root + "/sys/class/tty/ttyS0/type") << "4\n";
        std::ofstream(root + "/dev/ttyS0");  // a built-in port that is no terminal here
    }
    void TearDown() override { fs::remove_all(root); }

    void Device(const std::string& name, const std::string& target) {
        fs::create_symlink(target, root + "/dev/" + name);
    }

    std::string root;
};

TEST_F(DetectionTable, FindsTheRegistersWithTheirIdentityAndTouchesNoDeviceHeldElsewhere) {
    Emulated fast("f1-8");
    emu::LineFaults only57600;
    only57600.onlyBaud = 57600;
    Emulated slow("f1-3", only57600);
    Emulated locked("f1-8");     // held by another program through the port's own open
    Emulated exclusive("f1-8");  // held by a program that only sets the terminal exclusive
    OtherDevice silent(OtherDevice::kSilent), modem(OtherDevice::kModem);

    Device("ttyUSB0", fast.pty.SlavePath());
    fs::create_symlink("../../ttyUSB0", root + "/dev/serial/by-id/usb-FTDI_till_A1-if00-port0");
    fs::create_symlink("../ttyUSB0", root + "/dev/vsk/A1");
    Device("ttyUSB1", slow.pty.SlavePath());
    Device("ttyUSB2", locked.pty.SlavePath());
    Device("ttyUSB3", exclusive.pty.SlavePath());
    Device("ttyUSB4", silent.path);
    Device("ttyUSB5", modem.path);
    Device("ttyUSB6", root + "/unplugged");

    SerialPort holder;
    ASSERT_TRUE(holder.Open(locked.pty.SlavePath(), 9600));
    const int other = open(exclusive.pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    termios settings{};
    tcgetattr(other, &settings);
    cfsetspeed(&settings, B4800);
    tcsetattr(other, TCSANOW, &settings);
    ASSERT_EQ(ioctl(other, TIOCEXCL, nullptr), 0);

    const std::map<int, std::string> mappings = {{3, "/dev/ttyUSB1"}};
    const auto started = Clock::now();
    const std::vector<DetectedDevice> devices = DetectRegisters({}, mappings, root);
    const auto took = Clock::now() - started;
    ioctl(other, TIOCNXCL, nullptr);

    struct Row {
        const char* device;
        Result result;
        uint32_t baud;
        const char* model;
        const char* serial;
        const char* firmware;
        std::optional<int> port;
    };
    const Row rows[] = {
        {"/dev/ttyUSB0", Result::Found, 115200, "family 1 level 8", "5600012345", "ZULB", {}},
        {"/dev/ttyUSB1", Result::Found, 57600, "family 1 level 3", "5000012345", "QDRZ", 3},
        {"/dev/ttyUSB2", Result::Busy, 0, "", "", "", {}},
        {"/dev/ttyUSB3", Result::Busy, 0, "", "", "", {}},
        {"/dev/ttyUSB4", Result::NoAnswer, 0, "", "", "", {}},
        {"/dev/ttyUSB5", Result::NotRegister, 0, "", "", "", {}},
        {"/dev/ttyUSB6", Result::CannotOpen, 0, "", "", "", {}},
        {"/dev/ttyS0", Result::CannotOpen, 0, "", "", "", 1},
    };
    ASSERT_EQ(devices.size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        const DetectedDevice& d = devices[i];
        SCOPED_TRACE(row.device);
        EXPECT_EQ(d.device, row.device);
        EXPECT_EQ(ResultWord(d.result), std::string(ResultWord(row.result))) << d.detail;
        EXPECT_EQ(d.baud, row.baud);
        EXPECT_EQ(d.model, row.model);
        EXPECT_EQ(d.serial, row.serial);
        EXPECT_EQ(d.firmware, row.firmware);
        EXPECT_EQ(d.port, row.port);
    }
    EXPECT_EQ(devices[0].fiscalNumber, "3000012345");
    EXPECT_EQ(devices[0].stableName, "/dev/vsk/A1");

    // Nothing reached the held registers, and their lines kept their holders' speeds.
    EXPECT_EQ(locked.pty.BytesIn(), 0u);
    EXPECT_EQ(exclusive.pty.BytesIn(), 0u);
    EXPECT_EQ(SpeedOf(holder.Fd()), speed_t(B9600));
    EXPECT_EQ(SpeedOf(other), speed_t(B4800));
    close(other);

    // The devices are probed side by side, each within its bound of about a second.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 1500);

    // The found register no port opens goes to the lowest free number: COM1 is the built-in
    // port's and COM3 is mapped. It is named by its udev name, which survives re-plugging.
    EXPECT_EQ(PlanMappings(devices, mappings, root),
              (std::map<int, std::string>{{2, "/dev/vsk/A1"}}));
}

TEST_F(DetectionTable, NamedDevicesAreProbedAloneAndKeepTheirStableNames) {
    Emulated fast("f1-8");
    Emulated other("f1-3");
    Emulated refusing("f1-8");
    refusing.pty.Control("error SOFTPROTOC CONF");
    OtherDevice chatty(OtherDevice::kChatty);
    Device("ttyUSB0", fast.pty.SlavePath());
    Device("ttyUSB1", other.pty.SlavePath());
    Device("ttyUSB2", refusing.pty.SlavePath());
    Device("ttyUSB3", chatty.path);
    const std::string byId = "/dev/serial/by-id/usb-FTDI_till_A1-if00-port0";
    fs::create_symlink("../../ttyUSB0", root + byId);

    const auto started = Clock::now();
    const std::vector<DetectedDevice> devices = DetectRegisters(
        {byId, "COM4", "/dev/ttyUSB2", "/dev/ttyUSB3", "tty"}, {{4, "/dev/ttyUSB0"}}, root);
    const auto took = Clock::now() - started;
    ASSERT_EQ(devices.size(), 5u);
    EXPECT_EQ(devices[0].device, byId);
    EXPECT_EQ(devices[0].result, Result::Found);
    EXPECT_EQ(devices[0].stableName, byId);
    EXPECT_EQ(devices[0].port, 4);                 // mapped through another name of the same device
    EXPECT_EQ(devices[1].device, "/dev/ttyUSB0");  // COM4 is the port's device
    EXPECT_EQ(devices[1].result, Result::Found);   // the same device, probed once
    EXPECT_EQ(devices[4].result, Result::CannotOpen);
    EXPECT_EQ(other.pty.BytesIn(), 0u);  // not named, not probed

    // A register that refuses the identity query, and a device that woke and then never stops
    // talking: registers both, their identity unknown, and neither holds the run up.
    EXPECT_EQ(devices[2].result, Result::Found);
    EXPECT_EQ(devices[2].detail, "SOFTPROTOC");
    EXPECT_EQ(devices[2].serial, "");
    EXPECT_EQ(devices[3].result, Result::Found);
    EXPECT_EQ(devices[3].model, "");
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 1500);

    // Unmapped, the same device named twice is mapped once.
    const std::vector<DetectedDevice> unmapped = DetectRegisters({byId, "/dev/ttyUSB0"}, {}, root);
    EXPECT_EQ(PlanMappings(unmapped, {}, root), (std::map<int, std::string>{{2, byId}}));
}

}  // namespace
}  // namespace vsk
