// End-to-end support: the vsk-emulator program on a pseudo-terminal, driven through its control
// socket, a port mapping and settings in a temporary registry, and an engine on a scaled clock.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/vsk_core.h"
#include "link/settings.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "tests/child_process.h"

namespace vske2e {

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// An amount as the register prints it: "12.05".
inline std::string Money(int64_t kopecks) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%02lld", static_cast<long long>(kopecks / 100),
                  static_cast<long long>(kopecks % 100));
    return text;
}

// Starts a program with standard input from /dev/null, standard output to `out` and standard
// error to `err` (to `out` when empty); the process id, or -1. The program dies with the test.
inline pid_t SpawnLogged(std::vector<std::string> args, const std::string& out,
                         const std::string& err = {}) {
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int logged = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int errors =
        err.empty() ? logged : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t pid = -1;
    if (in >= 0 && logged >= 0 && errors >= 0)
        pid = vsktest::SpawnWithFds(std::move(args), {in, logged, errors});
    for (int fd : {in, logged, errors != logged ? errors : -1})
        if (fd >= 0)
            close(fd);
    return pid;
}

// The register program as a separate process: slave linked at <dir>/com, control socket at
// <dir>/ctl, tape appended to <dir>/tape.txt.
class EmulatorProcess {
public:
    EmulatorProcess() = default;
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;
    ~EmulatorProcess() { Stop(); }

    bool Start(const std::string& dir, const std::vector<std::string>& extraArgs) {
        m_link = dir + "/com";
        m_control = dir + "/ctl";
        m_tape = dir + "/tape.txt";
        std::vector<std::string> args = {VSK_EMULATOR_PATH, "--link", m_link, "--control",
                                         m_control,         "--tape", m_tape, "--no-stdin"};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        m_pid = SpawnLogged(std::move(args), dir + "/emulator.out", dir + "/emulator.err");
        if (m_pid < 0)
            return false;
        // Ready when the control socket answers: the line thread that serves it is running.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            if (Control("baud").rfind("ERR", 0) != 0 && !m_lastAnswer.empty())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    void Stop() {
        vsktest::StopChild(m_pid, std::chrono::seconds(5));
        m_pid = -1;
    }

    // One control command; the answer line without its end, or "" when the socket is gone.
    std::string Control(const std::string& command) {
        m_lastAnswer.clear();
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return {};
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", m_control.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd);
            return {};
        }
        const std::string line = command + "\n";
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            close(fd);
            return {};
        }
        std::string answer;
        char c;
        while (read(fd, &c, 1) == 1 && c != '\n')
            answer += c;
        close(fd);
        m_lastAnswer = answer;
        return answer;
    }

    // The "state" answer as key -> value.
    std::map<std::string, std::string> State() {
        std::map<std::string, std::string> values;
        std::istringstream words(Control("state"));
        std::string word;
        while (words >> word) {
            const size_t eq = word.find('=');
            if (eq != std::string::npos)
                values[word.substr(0, eq)] = word.substr(eq + 1);
        }
        return values;
    }

    // The last `count` tape lines (UTF-8).
    std::vector<std::string> Tape(int count = 200) {
        std::string answer = Control("tape " + std::to_string(count));
        std::vector<std::string> lines;
        if (answer.rfind("TAPE ", 0) != 0)
            return lines;
        std::istringstream in(answer.substr(5));
        std::string line;
        while (std::getline(in, line, '|'))
            lines.push_back(line);
        return lines;
    }

    const std::string& Link() const { return m_link; }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    std::string m_link, m_control, m_tape, m_lastAnswer;
};

// An operator who is never there: every question is answered by its default, and what was
// shown is kept for the test.
class AbsentOperator : public vsk::IOperatorUi {
public:
    vsk::MsgResult MessageBox(std::string_view text, vsk::MsgIcon,
                              vsk::MsgButtons buttons) override {
        boxes.emplace_back(text);
        return buttons == vsk::MsgButtons::Ok ? vsk::MsgResult::Ok : vsk::MsgResult::Cancel;
    }
    std::unique_ptr<vsk::IStatusWindow> CreateStatusWindow() override { return nullptr; }
    bool RunConnectionDialog(std::string&, std::string&, std::string&, int32_t) override {
        return false;
    }
    void ShowPrinterInfo(const CPrinterInfo&) override {}

    std::vector<std::string> boxes;
};

inline constexpr const char* kPassword = "0000000000";  // the emulator's default cashier password
inline constexpr int kPort = 5;

// Every test gets its own folder for the registry, ProgramData and XDG_* and its own emulator;
// COM5 is mapped to the emulator's link.
class E2eTest : public ::testing::Test {
protected:
    // 0.2 keeps the engine's protocol waits well above the emulator's latency on a loaded
    // machine (the 200 ms probe wait becomes 40 ms, the 3000 ms ready wait 600 ms) while the
    // 2000 ms connection pauses and Done's 2500 ms shrink to a few hundred milliseconds.
    explicit E2eTest(double clockFactor = 0.2) : m_clock(clockFactor) {}

    void SetUp() override {
        char pattern[] = "/tmp/vsk-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        setenv("VSK_REGISTRY_DIR", (m_dir + "/registry").c_str(), 1);
        setenv("ProgramData", (m_dir + "/programdata").c_str(), 1);
        setenv("APPDATA", (m_dir + "/appdata").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_dir + "/config").c_str(), 1);
        setenv("XDG_STATE_HOME", (m_dir + "/state").c_str(), 1);
        setenv("XDG_DATA_HOME", (m_dir + "/data").c_str(), 1);
        unsetenv("VSK_TLS_CA");
        unsetenv("VSK_TLS_FINGERPRINT");
        unsetenv("VSK_INSECURE");
    }

    // A private runtime folder for the automation server and its clients.
    void UseRuntimeFolder() {
        m_runtime = m_dir + "/run";
        ASSERT_EQ(mkdir(m_runtime.c_str(), 0700), 0);
        setenv("XDG_RUNTIME_DIR", m_runtime.c_str(), 1);
    }

    void TearDown() override {
        m_core.reset();
        m_emulator.Stop();
        std::filesystem::remove_all(m_dir);
    }

    // Starts the program, maps COM5 to it and builds the engine (journal in its default folder
    // under the temporary ProgramData when `journal` is set).
    void StartEmulator(const std::vector<std::string>& args = {}, bool journal = false) {
        ASSERT_TRUE(m_emulator.Start(m_dir, args)) << "vsk-emulator did not start";
        ASSERT_TRUE(vsk::RegistryStore().SetValue(
            vsk::Hive::CurrentUser, "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports",
            "COM" + std::to_string(kPort), m_emulator.Link()));
        vsk::WriteConfigInt(vsk::kCurrentConfig, vsk::kSaveToLog, journal ? 1 : 0);
        m_core = std::make_unique<CVSKCore>(kPort, &m_clock, &m_ui);
    }

    void Connect(const std::vector<std::string>& args = {}, bool journal = false) {
        StartEmulator(args, journal);
        ASSERT_EQ(m_core->Init("COM" + std::to_string(kPort), "Anna", kPassword), 1)
            << m_core->GetLastErrorCode();
    }

    // Waits until the engine's reader has queued something the register sent on its own.
    bool WaitForQueued(int timeoutMs = 2000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_core->Queue().IsEmpty()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    std::string m_dir;
    std::string m_runtime;  // set by UseRuntimeFolder
    vsk::ScaledClock m_clock;
    AbsentOperator m_ui;
    EmulatorProcess m_emulator;
    std::unique_ptr<CVSKCore> m_core;
};

}  // namespace vske2e
