// End-to-end support for the server process: a client program's object through libvskclient,
// a vskmanager started by hand and serving until SIGTERM (which must end it cleanly), registers
// mapped to ports, and readers of the journal and the tape.
#pragma once

#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include "client/client.h"
#include "platform/codepage.h"
#include "tests/e2e/e2e_support.h"

namespace vske2e {

using namespace vsk;
using Ms = std::chrono::milliseconds;

inline int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - since).count();
}

// Polls `done` for up to `timeoutMs`.
template <class F>
bool Eventually(F done, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + Ms(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(Ms(20));
    }
    return true;
}

// One client program's object: its own connection to the server.
class Client {
public:
    Client() = default;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client() { Reset(); }

    HRESULT Create() {
        ActivationOptions options;
        options.allowStart = false;  // the test started the server itself
        IDispatch* object = nullptr;
        HRESULT hr = CreateInstance(GuidToString(typelib::CLSID_Veskar), &object, options);
        if (FAILED(hr))
            return hr;
        hr = QueryVeskar(object, &m_veskar);
        object->Release();
        return hr;
    }
    void Reset() {
        if (m_veskar)
            m_veskar->Release();
        m_veskar = nullptr;
    }
    IVeskar* operator->() const { return m_veskar; }

    HRESULT Init(LONG port, const std::u16string& cashier = u"Anna",
                 const std::u16string& password = u"0000000000",
                 const std::u16string& app = u"e2e") {
        return m_veskar->Init(port, cashier, password, 0, app);
    }
    LONG Port() {
        LONG port = INT_MIN;
        EXPECT_EQ(m_veskar->GetPortNumber(&port), S_OK);
        return port;
    }
    // A one-line receipt paid in cash; the closing figure, or -1 when a step failed.
    LONG Sell(const std::u16string& name, LONG article, LONG price) {
        LONG sum = 0, closing = 0;
        if (m_veskar->OpenCheck(u"1") != S_OK ||
            m_veskar->FiscalLineEx(name, 1, price, 0, 1, 0, article, 0, u"", 0, &sum) != S_OK ||
            sum != price || m_veskar->CloseCheckEx(price, 0, 0, 0, &closing) != S_OK)
            return -1;
        return closing;
    }

private:
    IVeskar* m_veskar = nullptr;
};

// A client in a process of its own, to be killed by the test: the child runs `setUp` (its own
// connection, its own objects) and then waits to be killed. The child's pid once `setUp`
// succeeded; -1 (the child gone) when it failed.
template <class F>
pid_t ForkClient(F setUp) {
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        vsktest::DieWithParent(parent);
        close(ready[0]);
        const char status = setUp() ? 'k' : 'x';
        if (write(ready[1], &status, 1) != 1)
            _exit(2);
        for (;;)
            pause();
    }
    close(ready[1]);
    char status = 0;
    const bool ok = child > 0 && read(ready[0], &status, 1) == 1 && status == 'k';
    close(ready[0]);
    if (!ok && child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    return ok ? child : -1;
}

class ServerE2e : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        UseRuntimeFolder();
        ASSERT_TRUE(WriteConfigInt(kCurrentConfig, kSaveToLog, 1));
    }

    void TearDown() override {
        // SIGTERM is a clean shutdown: exit status 0 (a sanitizer build reports its findings
        // through the status and the output).
        // A server that does not end within the grace is killed, and that is a failure too.
        if (m_server > 0) {
            const std::optional<int> status = vsktest::StopChild(m_server);
            EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
                << "vskmanager ended with status " << (status ? *status : -1)
                << " (-1: killed after the grace)\n"
                << ReadAll(m_dir + "/server.out");
            m_server = -1;
        }
        StopSecond();
        E2eTest::TearDown();
    }

    // An emulator whose slave is mapped to COM`port`; its device path is returned.
    std::string StartRegister(EmulatorProcess& emulator, const std::string& dir, int port,
                              const std::vector<std::string>& args = {}) {
        std::filesystem::create_directories(dir);
        EXPECT_TRUE(emulator.Start(dir, args)) << "vsk-emulator did not start";
        EXPECT_TRUE(RegistryStore().SetValue(Hive::CurrentUser,
                                             "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports",
                                             "COM" + std::to_string(port), emulator.Link()));
        std::error_code ec;
        return std::filesystem::canonical(emulator.Link(), ec).string();
    }

    // vskmanager started by the operator: it serves until SIGTERM.
    void StartServer() {
        const std::string out = m_dir + "/server.out";
        m_server = SpawnLogged({VSK_SERVER_PATH, "--headless"}, out);
        ASSERT_GT(m_server, 0);
        const std::string classFile =
            m_runtime + "/vskmanager/" + GuidToString(typelib::CLSID_Veskar);
        ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(classFile); }, 5000))
            << ReadAll(out);
    }

    // Whether the server process has `device` open (a port it did not close again).
    bool ServerHolds(const std::string& device) {
        std::error_code ec;
        for (const auto& fd :
             std::filesystem::directory_iterator("/proc/" + std::to_string(m_server) + "/fd", ec)) {
            std::error_code linkEc;
            if (std::filesystem::read_symlink(fd.path(), linkEc).string() == device)
                return true;
        }
        return false;
    }

    // Every journal line the server wrote so far (ANSI code page, converted).
    std::string Journal() {
        std::string all;
        std::error_code ec;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(m_dir + "/programdata", ec))
            if (entry.is_regular_file())
                all += Cp1251ToUtf8(ReadAll(entry.path()));
        return all;
    }

    static int Count(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    int TapeCount(EmulatorProcess& emulator, const std::string& text) {
        const std::vector<std::string> tape = emulator.Tape(500);
        return int(std::count_if(tape.begin(), tape.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
    }

    // A suite's further registers stop before the folder goes.
    virtual void StopSecond() {}

    // vskmanager --headless --http `listen` `extra`...; the port its HTTP API took in m_http.
    void SpawnHttpServer(const std::string& listen, const std::vector<std::string>& extra) {
        const std::string out = m_dir + "/server.out";
        std::vector<std::string> args = {VSK_SERVER_PATH, "--headless", "--http", listen};
        args.insert(args.end(), extra.begin(), extra.end());
        m_server = SpawnLogged(args, out);
        ASSERT_GT(m_server, 0);
        const std::regex re("HTTP API on https?://[^ ]*:([0-9]+)");
        ASSERT_TRUE(Eventually(
            [&] {
                const std::string text = ReadAll(out);
                std::smatch m;
                if (!std::regex_search(text, m, re))
                    return false;
                m_http = std::stoi(m[1].str());
                return true;
            },
            8000))
            << ReadAll(out);
    }

    pid_t m_server = -1;
    int m_http = 0;  // the HTTP API's port, once SpawnHttpServer has started one
};

// One register on kPort and one client object bound to it through a server of the test's own.
class OneClientE2e : public ServerE2e {
protected:
    void SetUp() override {
        ServerE2e::SetUp();
        StartRegister(m_emulator, m_dir, kPort);
    }
    void TearDown() override {
        m_veskar.Reset();
        ServerE2e::TearDown();
    }
    void StartServerAndBind() {
        StartServer();
        ASSERT_EQ(m_veskar.Create(), S_OK);
        ASSERT_EQ(m_veskar.Init(kPort), S_OK);
    }

    Client m_veskar;
};

}  // namespace vske2e
