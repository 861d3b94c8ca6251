// Finding the registers: `vskmanager --detect --map` and GET /v1/ports/detect against the
// register program, one at 57600 baud only and one held by another program, on a device tree
// laid out under VSK_SYSTEM_ROOT as udev would name a USB adapter.
#include <chrono>
#include <filesystem>

#include "platform/serial_port.h"
#include "tests/e2e/http_support.h"
#include "tests/e2e/server_support.h"

namespace vske2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kById = "/dev/serial/by-id/usb-FTDI_till_A1-if00-port0";

class DetectE2e : public ServerE2e {
protected:
    void TearDown() override {
        unsetenv("VSK_SYSTEM_ROOT");
        ServerE2e::TearDown();
    }
    void StopSecond() override {
        m_slow.Stop();
        m_held.Stop();
    }
    // vskmanager with `args`: its exit status, its standard output in *out.
    int Run(const std::vector<std::string>& args, std::string* out) {
        std::vector<std::string> all = {VSK_SERVER_PATH};
        all.insert(all.end(), args.begin(), args.end());
        const std::string file = m_dir + "/run.out";
        const pid_t pid = SpawnLogged(all, file, m_dir + "/run.err");
        const int status = vsktest::ExitCode(vsktest::WaitChild(pid, Ms(20000)));
        *out = ReadAll(file);
        return status;
    }

    EmulatorProcess m_slow, m_held;
};

TEST_F(DetectE2e, FindsAndMapsTheFreeRegisterAndLeavesTheHeldOneAlone) {
    fs::create_directories(m_dir + "/slow");
    fs::create_directories(m_dir + "/held");
    ASSERT_TRUE(m_slow.Start(m_dir + "/slow", {"--model", "f1-3", "--only-baud", "57600"}));
    ASSERT_TRUE(m_held.Start(m_dir + "/held", {}));
    const std::string root = m_dir + "/root";
    fs::create_directories(root + "/dev/serial/by-id");
    fs::create_symlink(fs::canonical(m_slow.Link()), root + "/dev/ttyUSB0");
    fs::create_symlink("../../ttyUSB0", root + kById);
    fs::create_symlink(fs::canonical(m_held.Link()), root + "/dev/ttyUSB1");
    setenv("VSK_SYSTEM_ROOT", root.c_str(), 1);
    vsk::SerialPort holder;
    ASSERT_TRUE(holder.Open(m_held.Link()));

    std::string out;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Run({"--detect", "--map"}, &out), 0) << out;
    EXPECT_LT(ElapsedMs(started), 5000);  // a second of probing; the rest is the program's start
    EXPECT_NE(out.find("/dev/ttyUSB0\t-\tregister at 57600 baud: family 1 level 3, serial "
                       "5000012345, fiscal number 3000012345, firmware QDRZ"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("/dev/ttyUSB1\t-\tbusy"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("COM1=") + kById), std::string::npos) << out;
    const auto mapped = RegistryStore().GetValue(
        Hive::CurrentUser, "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports", "COM1");
    ASSERT_TRUE(mapped && std::holds_alternative<std::string>(*mapped));
    EXPECT_EQ(std::get<std::string>(*mapped), kById);
    // Mapped now: a second run maps nothing more.
    EXPECT_EQ(Run({"--detect", "--map"}, &out), 0) << out;
    EXPECT_NE(out.find("/dev/ttyUSB0\tCOM1\tregister at 57600"), std::string::npos) << out;
    EXPECT_EQ(out.find("COM2="), std::string::npos) << out;

    SpawnHttpServer("127.0.0.1:0", {});
    const HttpResult r = Http(m_http, "GET", "/v1/ports/detect");
    ASSERT_EQ(r.status, 200) << r.body;
    const Json* devices = r.At({"devices"});
    ASSERT_TRUE(devices && devices->IsArray() && devices->AsArray().size() == 2) << r.body;
    const Json& slow = devices->AsArray()[0];
    EXPECT_EQ(slow.Find("device")->AsString(), "/dev/ttyUSB0");
    EXPECT_TRUE(slow.Find("found")->AsBool());
    EXPECT_EQ(slow.Find("baud")->AsInt(), 57600);
    EXPECT_EQ(slow.Find("serial")->AsString(), "5000012345");
    EXPECT_EQ(slow.Find("firmware")->AsString(), "QDRZ");
    EXPECT_EQ(slow.Find("port")->AsInt(), 1);
    EXPECT_EQ(slow.Find("stableName")->AsString(), kById);
    const Json& held = devices->AsArray()[1];
    EXPECT_FALSE(held.Find("found")->AsBool());
    EXPECT_EQ(held.Find("reason")->AsString(), "busy");
    EXPECT_TRUE(held.Find("port")->IsNull());

    // The next detection runs at once: the first has let go.
    const auto again = std::chrono::steady_clock::now();
    EXPECT_EQ(Http(m_http, "GET", "/v1/ports/detect").status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::seconds(5));

    // Four detections and not a byte reached the held register.
    EXPECT_EQ(m_held.Control("stats").rfind("STATS in=0 ", 0), 0u) << m_held.Control("stats");
}

}  // namespace
}  // namespace vske2e
