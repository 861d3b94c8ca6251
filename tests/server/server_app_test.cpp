#include <gtest/gtest.h>

#include <fstream>

#include "link/settings.h"
#include "rpc/type_library.h"
#include "server/command_line.h"
#include "server/registration.h"
#include "server/server_app.h"
#include "tests/rpc/test_support.h"

namespace vsk {
namespace {

using Action = ServerCommandLine::Action;

TEST(ServerCommandLine, SwitchesTakeEitherPrefixAndAnyCase) {
    struct Row {
        std::vector<std::string> args;
        Action action;
        bool byAutomation;
        bool userInControl;
    } rows[] = {
        {{}, Action::Run, false, true},
        {{"-Embedding"}, Action::Run, true, false},
        {{"/automation"}, Action::Run, true, false},
        {{"/Regserver"}, Action::Register, false, true},
        {{"-REGISTER"}, Action::Register, false, true},
        {{"/RegserverPerUser"}, Action::Register, false, true},
        {{"-unregserver"}, Action::Unregister, false, true},
        {{"/UnregisterPerUser"}, Action::Unregister, false, true},
        {{"-dde"}, Action::Run, false, false},
        {{"-DDE"}, Action::Run, false, true},  // "dde" is case-sensitive
        {{"-p", "file"}, Action::Run, false, true},
        {{"--list-ports"}, Action::ListPorts, false, true},
        {{"--detect"}, Action::Detect, false, true},
    };
    for (const Row& r : rows) {
        auto cl = ParseServerCommandLine(r.args);
        std::string shown = r.args.empty() ? "(none)" : r.args[0];
        EXPECT_EQ(cl.error, "") << shown;
        EXPECT_EQ(cl.action, r.action) << shown;
        EXPECT_EQ(cl.startedByAutomation, r.byAutomation) << shown;
        EXPECT_EQ(cl.userInControl, r.userInControl) << shown;
    }
    auto cl = ParseServerCommandLine({"--set-port", "3", "/dev/pts/7"});
    EXPECT_EQ(cl.action, Action::SetPort);
    EXPECT_EQ(cl.port, 3);
    EXPECT_EQ(cl.devicePath, "/dev/pts/7");
    cl = ParseServerCommandLine({"--set-port", "com12=/dev/serial/by-id/usb-till"});
    EXPECT_EQ(cl.port, 12);
    EXPECT_EQ(cl.devicePath, "/dev/serial/by-id/usb-till");
    cl = ParseServerCommandLine({"--unset-port", "COM12"});
    EXPECT_EQ(cl.action, Action::UnsetPort);
    EXPECT_EQ(cl.port, 12);
    cl = ParseServerCommandLine({"--detect", "/dev/ttyUSB0", "--map", "/dev/vsk/A1"});
    EXPECT_EQ(cl.action, Action::Detect);
    EXPECT_TRUE(cl.detectMap);
    EXPECT_EQ(cl.detectDevices, (std::vector<std::string>{"/dev/ttyUSB0", "/dev/vsk/A1"}));
    cl = ParseServerCommandLine({"--headless", "--listen", "0.0.0.0:7777"});
    EXPECT_TRUE(cl.headless);
    EXPECT_EQ(cl.listen, "0.0.0.0:7777");
    cl = ParseServerCommandLine({"--config", "savetolog", "1"});
    EXPECT_EQ(cl.action, Action::SetConfig);
    EXPECT_EQ(cl.configValue, "1");
    EXPECT_EQ(ParseServerCommandLine({"--config", "Savetolg", "1"}).error,
              "unknown setting Savetolg (did you mean SaveToLog?)");
    for (auto bad : std::vector<std::vector<std::string>>{{"--config", "Colour", "1"},
                                                          {"--config", "BaudRate", "-5"},
                                                          {"--config", "HttpListen", "8080"},
                                                          {"--config", "--list", "x"},
                                                          {"--set-port", "x", "/dev/null"},
                                                          {"--set-port", "0", "/dev/null"},
                                                          {"--set-port", "3"},
                                                          {"--set-port", "COM3="},
                                                          {"--set-port", "COMX=/dev/x"},
                                                          {"--listen"},
                                                          {"--frobnicate"}})
        EXPECT_NE(ParseServerCommandLine(bad).error, "") << bad[0];
}

TEST(ServerCommandLine, HelpVersionAndMistakesStartNoServer) {
    EXPECT_EQ(ParseServerCommandLine({"-h"}).action, Action::Help);
    EXPECT_EQ(ParseServerCommandLine({"--help", "-Embedding"}).action, Action::Help);
    EXPECT_EQ(ParseServerCommandLine({"--version"}).action, Action::Version);
    for (auto bad : std::vector<std::vector<std::string>>{
             {"-x"},
             {"/Frobnicate"},
             {"stray"},
             {"--set-port", "3", "/dev/ttyS2", "extra"},
             {"--unset-port", "COM3=/dev/ttyS2"},
             {"/Regserver", "--list-ports"},  // two things at once
             {"--detect", "--list-ports"},
             {"--map"},  // maps only what a detection found
             {"--map", "/dev/ttyUSB0"},
             {"--config", "SaveToLog", "1", "2"}}) {
        auto cl = ParseServerCommandLine(bad);
        EXPECT_NE(cl.error, "") << bad[0];
    }
    // Print switches carry file names; those are no mistake.
    EXPECT_EQ(ParseServerCommandLine({"/pt", "file.txt", "printer"}).error, "");
    auto cl = ParseServerCommandLine({"--no-instance-lock", "-Embedding"});
    EXPECT_FALSE(cl.instanceLock);
    EXPECT_TRUE(cl.startedByAutomation);
    EXPECT_TRUE(ParseServerCommandLine({"-Embedding"}).instanceLock);
}

TEST(ServerCommandLine, ConfigPrintsOrStoresASetting) {
    test::TempEnv env;
    RegistryStore reg;
    auto show = ParseServerCommandLine({"--config", "keeplogfiles"});
    ASSERT_EQ(show.action, Action::ShowConfig);
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunCommandLineAction(show, reg, "/x"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "3\n");  // the default
    auto set = ParseServerCommandLine({"--config", "KeepLogFiles", "7"});
    ASSERT_EQ(set.action, Action::SetConfig);
    EXPECT_EQ(RunCommandLineAction(set, reg, "/x"), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunCommandLineAction(show, reg, "/x"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "7\n");
    EXPECT_EQ(RunCommandLineAction(ParseServerCommandLine({}), reg, "/x"), -1);  // a server

    // A string setting the server reads at start, and the list of them all with what is set.
    EXPECT_EQ(RunCommandLineAction(
                  ParseServerCommandLine({"--config", "httplisten", "127.0.0.1:8080"}), reg, "/x"),
              0);
    EXPECT_EQ(TextSetting(Setting::HttpListen), "127.0.0.1:8080");
    auto list = ParseServerCommandLine({"--config", "--list"});
    ASSERT_EQ(list.action, Action::ListConfig) << list.error;
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunCommandLineAction(list, reg, "/x"), 0);
    const std::string listed = testing::internal::GetCapturedStdout();
    for (const SettingSpec& spec : AllSettings())
        EXPECT_NE(listed.find(std::string("\n") + spec.name + " "), std::string::npos)
            << spec.name << " missing from\n"
            << listed;
    EXPECT_NE(listed.find("HttpListen          HOST:PORT            -        127.0.0.1:8080\n"),
              std::string::npos)
        << listed;
    EXPECT_NE(listed.find("KeepLogFiles        number 1..4096       3        7\n"),
              std::string::npos)
        << listed;
    // An empty value removes the setting: its default applies again.
    EXPECT_EQ(
        RunCommandLineAction(ParseServerCommandLine({"--config", "KeepLogFiles", ""}), reg, "/x"),
        0);
    EXPECT_EQ(KeepLogFilesSetting(), 3);
}

TEST(ServerCommandLine, SetPortWarnsAboutAMissingDeviceAndStoresIt) {
    test::TempEnv env;
    RegistryStore reg;
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunCommandLineAction(ParseServerCommandLine({"--set-port", "COM4=/dev/vsk/none"}),
                                   reg, "/x"),
              0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("/dev/vsk/none does not exist"),
              std::string::npos);
    EXPECT_EQ(ListPortMappings(reg), (std::map<int, std::string>{{4, "/dev/vsk/none"}}));
    testing::internal::CaptureStderr();
    EXPECT_EQ(
        RunCommandLineAction(ParseServerCommandLine({"--set-port", "5", "/dev/null"}), reg, "/x"),
        0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The exit status tells a script whether its command line was wrong (2) or the work could not be
// done (1).
TEST(ServerProcess, ExitStatusTellsAWrongCommandLineFromFailedWork) {
    test::TempEnv env;
    EXPECT_EQ(RunServerProcess({"--frobnicate"}), 2);
    EXPECT_EQ(RunServerProcess({"--config"}), 2);
    EXPECT_EQ(RunServerProcess({"--config", "KeepLogFiles", "9"}), 0);
    EXPECT_EQ(GetConfigInt(kCurrentConfig, kKeepLogFiles, 3), 9u);
    EXPECT_EQ(RunServerProcess({"--config", "NoSuchSetting", "1"}), 2);
    // A TCP address this machine does not have: the server does not start.
    EXPECT_EQ(RunServerProcess({"--headless", "--listen", "192.0.2.1:5000"}), 1);

    // A registry folder that cannot be made (its parent is a file).
    std::ofstream(env.Dir() + "/file") << "x";
    setenv("VSK_REGISTRY_DIR", (env.Dir() + "/file/registry").c_str(), 1);
    EXPECT_EQ(RunServerProcess({"--config", "KeepLogFiles", "5"}), 1);
    EXPECT_EQ(RunServerProcess({"--set-port", "COM3=/dev/null"}), 1);
}

class Registration : public ::testing::Test {
protected:
    test::TempEnv env;
    RegistryStore reg{env.Dir() + "/registry"};
    std::optional<std::string> Str(const std::string& key, const std::string& name = "") {
        auto v = reg.GetValue(Hive::ClassesRoot, key, name);
        if (!v || !std::holds_alternative<std::string>(*v))
            return std::nullopt;
        return std::get<std::string>(*v);
    }
};

TEST_F(Registration, RegisterWritesClassAppIdTypeLibraryAndProxyClass) {
    const std::string clsid = "CLSID\\{F9B424D4-51A1-40E0-8EB1-1B9097AF9811}";
    reg.CreateKey(Hive::ClassesRoot, clsid + "\\Leftover");  // written afresh at each run
    ASSERT_TRUE(RegisterServer(reg, "/opt/vsk/vskmanager"));
    EXPECT_EQ(Str("VSKManager.Veskar.1"), "Veskar Class");
    EXPECT_EQ(Str("VSKManager.Veskar.1\\CLSID"), "{F9B424D4-51A1-40E0-8EB1-1B9097AF9811}");
    EXPECT_EQ(Str("VSKManager.Veskar\\CurVer"), "VSKManager.Veskar.1");
    EXPECT_EQ(Str(clsid), "Veskar Class");
    EXPECT_EQ(Str(clsid, "AppID"), "{4CA564D7-4F81-4C2C-9429-6609A57D26A5}");
    EXPECT_EQ(Str(clsid + "\\LocalServer32"), "\"/opt/vsk/vskmanager\"");
    EXPECT_EQ(Str(clsid + "\\ProgID"), "VSKManager.Veskar.1");
    EXPECT_EQ(Str(clsid + "\\VersionIndependentProgID"), "VSKManager.Veskar");
    EXPECT_EQ(Str(clsid + "\\TypeLib"), "{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}");
    EXPECT_TRUE(reg.KeyExists(Hive::ClassesRoot, clsid + "\\Programmable"));
    EXPECT_FALSE(reg.KeyExists(Hive::ClassesRoot, clsid + "\\Leftover"));
    EXPECT_EQ(Str("AppID\\{4CA564D7-4F81-4C2C-9429-6609A57D26A5}"), "VSKManager");
    EXPECT_EQ(Str("AppID\\VSKManagerPlus.EXE", "AppID"), "{4CA564D7-4F81-4C2C-9429-6609A57D26A5}");
    EXPECT_EQ(Str("TypeLib\\{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}\\1.0"), "VSKManager");
    EXPECT_EQ(Str("Interface\\{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}"), "IVeskar");
    EXPECT_EQ(Str("VSKManager.Application\\CLSID"), "{9B739684-14D2-447F-865E-28E21576139A}");
    // The proxy's server is one per object: it must not wait for the user's server's lock.
    EXPECT_EQ(Str("CLSID\\{9B739684-14D2-447F-865E-28E21576139A}\\LocalServer32"),
              "\"/opt/vsk/vskmanager\" --no-instance-lock");
}

TEST_F(Registration, UnregisterRemovesEverythingButTheParentKeys) {
    ASSERT_TRUE(RegisterServer(reg, "/opt/vsk/vskmanager"));
    reg.SetValue(Hive::ClassesRoot, "CLSID\\{00000000-0000-0000-0000-0000000000AA}", "", "other");
    ASSERT_TRUE(UnregisterServer(reg));
    for (const char* gone :
         {"VSKManager.Veskar", "VSKManager.Veskar.1",
          "CLSID\\{F9B424D4-51A1-40E0-8EB1-1B9097AF9811}",
          "AppID\\{4CA564D7-4F81-4C2C-9429-6609A57D26A5}", "AppID\\VSKManagerPlus.EXE",
          "TypeLib\\{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}", "VSKManager.Application",
          "CLSID\\{9B739684-14D2-447F-865E-28E21576139A}"})
        EXPECT_FALSE(reg.KeyExists(Hive::ClassesRoot, gone)) << gone;
    EXPECT_TRUE(reg.KeyExists(Hive::ClassesRoot, "AppID"));
    EXPECT_TRUE(reg.KeyExists(Hive::ClassesRoot, "CLSID\\{00000000-0000-0000-0000-0000000000AA}"));
    EXPECT_TRUE(UnregisterServer(reg));  // a second run finds nothing to do
}

TEST_F(Registration, PortMappingsLiveInThePortsSection) {
    ASSERT_TRUE(SetPortMapping(reg, 3, "/dev/pts/7"));
    ASSERT_TRUE(SetPortMapping(reg, 12, "/dev/ttyUSB0"));
    auto v = reg.GetValue(Hive::CurrentUser, "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports", "COM3");
    ASSERT_TRUE(v);
    EXPECT_EQ(std::get<std::string>(*v), "/dev/pts/7");
    EXPECT_EQ(ListPortMappings(reg),
              (std::map<int, std::string>{{3, "/dev/pts/7"}, {12, "/dev/ttyUSB0"}}));
    ASSERT_TRUE(UnsetPortMapping(reg, 3));
    EXPECT_EQ(ListPortMappings(reg).size(), 1u);
}

// Mappings written by other tools count whatever the case of "COM"; other names, numbers that
// name no port and values that are no text are passed over.
TEST_F(Registration, PortMappingsListTakesOnlyComNamesWithAPortNumber) {
    const std::string key = "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports";
    for (const char* name : {"COM4", "com6", "COM0", "COM", "COMx", "COM8x", "XCOM9", "LPT1"})
        ASSERT_TRUE(reg.SetValue(Hive::CurrentUser, key, name, std::string("/dev/") + name));
    ASSERT_TRUE(reg.SetValue(Hive::CurrentUser, key, "COM10", uint32_t(10)));
    EXPECT_EQ(ListPortMappings(reg),
              (std::map<int, std::string>{{4, "/dev/COM4"}, {6, "/dev/com6"}}));
}

}  // namespace
}  // namespace vsk
