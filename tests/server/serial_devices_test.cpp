#include "server/serial_devices.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace vsk {
namespace {

namespace fs = std::filesystem;

// A /sys and /dev as the kernel lays them out for two USB adapters, an ACM device, one
// unidentified adapter and two built-in ports of which only the first has a UART.
class FakeSystem : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vsk-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        for (const char* dev :
             {"ttyUSB0", "ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "ttyS1", "tty0", "ttyUSBx"})
            Write("/dev/" + std::string(dev), "");
        fs::create_directories(root + "/dev/serial/by-id");
        fs::create_symlink("../../ttyUSB0", root + "/dev/serial/by-id/usb-FTDI_till_A1B2-if00");
        Usb("usb1/1-1", "ttyUSB0", "0403", "6001", "FTDI", "FT232R USB UART", "A1B2");
        Usb("usb1/1-2", "ttyACM0", "2341", "0043", "Arduino", "Uno", "");
        Usb("usb2/2-1", "ttyUSB10", "067b", "2303", "Prolific", "PL2303", "P9");
        Write("/sys/class/tty/ttyS0/type", "4\n");
        Write("/sys/class/tty/ttyS1/type", "0\n");  // listed by the kernel, nothing behind it
    }
    void TearDown() override { fs::remove_all(root); }

    void Write(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(root + path).parent_path());
        std::ofstream(root + path) << text;
    }
    // The USB device folder with its identity, the interface below it, the tty below that,
    // and /sys/class/tty/<tty>/device pointing at the tty's folder.
    void Usb(const std::string& at, const std::string& tty, const char* vid, const char* pid,
             const char* vendor, const char* model, const char* serial) {
        const std::string dev = "/sys/devices/pci0000:00/" + at;
        Write(dev + "/idVendor", std::string(vid) + "\n");
        Write(dev + "/idProduct", std::string(pid) + "\n");
        Write(dev + "/manufacturer", std::string(vendor) + "\n");
        Write(dev + "/product", std::string(model) + "\n");
        if (*serial)
            Write(dev + "/serial", std::string(serial) + "\n");
        fs::create_directories(root + dev + "/if:1.0/" + tty);
        fs::create_directories(root + "/sys/class/tty/" + tty);
        fs::create_symlink(root + dev + "/if:1.0/" + tty,
                           root + "/sys/class/tty/" + tty + "/device");
    }

    std::string root;
};

TEST_F(FakeSystem, ListsAdaptersWithTheirUsbIdentityThenBuiltInPortsWithAUart) {
    std::vector<SerialDevice> devices = ListSerialDevices(root);
    std::vector<std::string> paths;
    for (const SerialDevice& d : devices)
        paths.push_back(d.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB2", "/dev/ttyUSB10",
                                               "/dev/ttyACM0", "/dev/ttyS0"}));
    const SerialDevice& ftdi = devices[0];
    EXPECT_EQ(ftdi.vendorId, "0403");
    EXPECT_EQ(ftdi.productId, "6001");
    EXPECT_EQ(ftdi.vendor, "FTDI");
    EXPECT_EQ(ftdi.model, "FT232R USB UART");
    EXPECT_EQ(ftdi.serial, "A1B2");
    EXPECT_EQ(ftdi.byId, std::vector<std::string>{"/dev/serial/by-id/usb-FTDI_till_A1B2-if00"});
    EXPECT_EQ(devices[1].vendorId, "");  // no sysfs entry: no identity, still listed
    EXPECT_EQ(devices[2].serial, "P9");
    EXPECT_EQ(devices[3].model, "Uno");
    EXPECT_EQ(devices[3].serial, "");
    EXPECT_EQ(devices[4].vendorId, "");
}

TEST_F(FakeSystem, EachDeviceNamesTheComPortsThatOpenIt) {
    std::map<int, std::string> mappings = {
        {3, "/dev/serial/by-id/usb-FTDI_till_A1B2-if00"},  // through the stable name
        {4, "/dev/ttyUSB0"},
        {2, "/dev/ttyS0"},
        {7, "/dev/ttyUSB9"},  // not plugged in
    };
    std::vector<SerialDevice> devices = ListSerialDevices(root);
    EXPECT_EQ(PortsOpening(devices[0], mappings, root), (std::vector<int>{3, 4}));
    EXPECT_EQ(PortsOpening(devices[1], mappings, root), std::vector<int>{});
    // ttyS0 is COM1 by default while COM1 is unmapped, and COM2 by its mapping.
    EXPECT_EQ(PortsOpening(devices[4], mappings, root), (std::vector<int>{1, 2}));
    mappings[1] = "/dev/ttyUSB2";
    EXPECT_EQ(PortsOpening(devices[4], mappings, root), (std::vector<int>{2}));
    EXPECT_EQ(PortsOpening(devices[1], mappings, root), (std::vector<int>{1}));

    const std::string text = DescribePorts(mappings, root);
    EXPECT_NE(text.find("COM7\t/dev/ttyUSB9\t(not present)"), std::string::npos) << text;
    EXPECT_NE(text.find("/dev/ttyUSB0\tCOM3,COM4\t0403:6001 FTDI FT232R USB UART serial A1B2"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("    /dev/serial/by-id/usb-FTDI_till_A1B2-if00"), std::string::npos);
    EXPECT_EQ(text.find("ttyS1"), std::string::npos);
}

TEST(SerialDevices, TheSystemRootComesFromTheEnvironment) {
    setenv("VSK_SYSTEM_ROOT", "/tmp/fake/", 1);
    EXPECT_EQ(SystemRoot(), "/tmp/fake");
    unsetenv("VSK_SYSTEM_ROOT");
    EXPECT_EQ(SystemRoot(), "");
}

}  // namespace
}  // namespace vsk
