// The whole road of a client call: vskctl (libvskclient) activates the vskmanager server
// process, which binds the Veskar object to COM5, mapped to the vsk-emulator program. The
// client's figures, the register's state, its tape and the server's journal must agree.
#include <dirent.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/codepage.h"
#include "tests/e2e/e2e_support.h"

namespace vske2e {
namespace {

// Runs a program to its end with its standard output in `outPath`; the exit status, or -1 (also
// for one still running after a minute, which is killed).
int RunProgram(std::vector<std::string> args, const std::string& outPath) {
    const pid_t pid = SpawnLogged(std::move(args), outPath);
    return pid < 0 ? -1 : vsktest::ExitCode(vsktest::WaitChild(pid, std::chrono::minutes(1)));
}

// The value vskctl printed for a call ("METHOD: S_OK (...)" then "  value = ...").
std::string ValueOf(const std::string& output, const std::string& method) {
    const size_t call = output.find(method + ": S_OK");
    if (call == std::string::npos)
        return "<" + method + " failed>";
    const size_t value = output.find("  value = ", call);
    if (value == std::string::npos)
        return "<no value>";
    const size_t begin = value + 10;
    return output.substr(begin, output.find('\n', begin) - begin);
}

class ServerE2e : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        UseRuntimeFolder();
    }

    // A server the client started ends by itself when its object is released; one that is
    // still there when the test ends is stopped here, by the process id in its socket name.
    void TearDown() override {
        const std::string folder = m_runtime + "/vskmanager";
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (bool waited = false; !waited;) {
            std::vector<pid_t> servers;
            std::error_code ec;
            for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
                const std::string name = entry.path().filename();
                if (name.rfind("server-", 0) == 0)
                    servers.push_back(std::atoi(name.c_str() + 7));
            }
            servers.erase(std::remove_if(servers.begin(), servers.end(),
                                         [](pid_t p) { return p <= 0 || kill(p, 0) != 0; }),
                          servers.end());
            if (servers.empty())
                break;
            if (std::chrono::steady_clock::now() > end) {
                for (pid_t p : servers)
                    kill(p, SIGTERM);
                waited = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        E2eTest::TearDown();
    }
};

TEST_F(ServerE2e, ClientSellsAReceiptThroughTheServerProcess) {
    ASSERT_TRUE(m_emulator.Start(m_dir, {}));
    const std::string log = m_dir + "/programs.txt";
    ASSERT_EQ(RunProgram({VSK_SERVER_PATH, "/Regserver"}, log), 0) << ReadAll(log);
    ASSERT_EQ(RunProgram({VSK_SERVER_PATH, "--set-port", "5", m_emulator.Link()}, log), 0)
        << ReadAll(log);
    ASSERT_TRUE(vsk::WriteConfigInt(vsk::kCurrentConfig, vsk::kSaveToLog, 1));

    // A Cyrillic goods name crosses every encoding: UTF-8 at the client, the ANSI code page in
    // the server and its journal, code page 866 on the line, UTF-8 on the register's tape.
    const std::string script = m_dir + "/receipt.txt";
    std::ofstream(script) << "OpenCheck \"1\"\n"
                             "FiscalLineEx \"Хліб житній\" 1500 999 1 1 0 11 -1 \"\" 0\n"
                             "FiscalLineEx \"Milk\" 2 3000 0 4 0 13 0 \"Promo\" 150\n"
                             "GetCheckSum\n"
                             "CloseCheckEx 10000 0 0 0\n"
                             "GetCheckResult\n"
                             "XReport\n";
    const std::string out = m_dir + "/vskctl.txt";
    ASSERT_EQ(RunProgram({VSK_CTL_PATH, "--port", "5", "--cashier", "Anna", "--password", kPassword,
                          "--app", "e2e", "--script", script},
                         out),
              0)
        << ReadAll(out);
    const std::string output = ReadAll(out);
    EXPECT_EQ(ValueOf(output, "GetCheckSum"), "7349");  // 1499 + 5850
    EXPECT_EQ(ValueOf(output, "CloseCheckEx"), "7642");  // Г on the total: 5850 × 5 % = 292.5 → 293

    std::map<std::string, std::string> state = m_emulator.State();
    EXPECT_EQ(state["receipt"], "closed");
    EXPECT_EQ(ValueOf(output, "GetCheckResult"), state["closing"]);
    EXPECT_EQ(state["day_receipts"], "1");

    const std::vector<std::string> tape = m_emulator.Tape(200);
    auto printed = [&tape](const std::string& text) {
        return std::any_of(tape.begin(), tape.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    };
    // і is not in code page 866: it crosses the line as the Latin i.
    EXPECT_TRUE(printed("Хлiб житнiй"));
    EXPECT_TRUE(printed("X-REPORT"));

    std::string journal;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(m_dir + "/programdata")) {
        if (entry.is_regular_file())
            journal += vsk::Cp1251ToUtf8(ReadAll(entry.path()));
    }
    EXPECT_NE(journal.find("FiscalLineEx(Name = Хліб житній, Qty = 1500"), std::string::npos)
        << journal;
    EXPECT_NE(journal.find("XReportFromRegisters()"), std::string::npos);
}

// vskctl refuses an unknown option with the usage status, and a script with a name that is no
// method before it binds the register (nothing of the script runs); it takes a date with its
// time of day to the second: the last second of a day is still that day.
TEST_F(ServerE2e, VskctlOptionsAndDatesWithATimeOfDay) {
    const std::string out = m_dir + "/vskctl.txt";
    EXPECT_EQ(RunProgram({VSK_CTL_PATH, "--frobnicate"}, out), 2) << ReadAll(out);
    for (const char* port : {"x", "0", "5x", "-3"}) {
        EXPECT_EQ(RunProgram({VSK_CTL_PATH, "--port", port, "GetPortNumber"}, out), 2)
            << port << ": " << ReadAll(out);
        EXPECT_NE(ReadAll(out).find("--port takes a port number"), std::string::npos)
            << ReadAll(out);
    }

    ASSERT_TRUE(m_emulator.Start(m_dir, {}));
    const std::string log = m_dir + "/programs.txt";
    ASSERT_EQ(RunProgram({VSK_SERVER_PATH, "/Regserver"}, log), 0) << ReadAll(log);
    ASSERT_EQ(RunProgram({VSK_SERVER_PATH, "--set-port", "5", m_emulator.Link()}, log), 0)
        << ReadAll(log);
    ASSERT_TRUE(vsk::WriteConfigInt(vsk::kCurrentConfig, vsk::kSaveToLog, 1));
    const std::string script = m_dir + "/dates.txt";
    std::ofstream(script) << "PeriodicalFiscalReportDate \"2025-02-12 23:59:59\" "
                             "\"2025-02-14T00:00:01\"\n";
    // What matters is the command on the wire, whatever a slow register made of the call.
    const int status = RunProgram({VSK_CTL_PATH, "--port", "5", "--cashier", "Anna", "--password",
                                   kPassword, "--app", "e2e", "--script", script},
                                  out);
    std::string journal;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(m_dir + "/programdata")) {
        if (entry.is_regular_file())
            journal += ReadAll(entry.path());
    }
    EXPECT_NE(journal.find(">>> To Printer >>>FIRP2025021220250214"), std::string::npos)
        << "vskctl ended with " << status << ":\n"
        << ReadAll(out) << "\njournal:\n"
        << journal;

    std::ofstream(script) << "XReport\nXRepot\n";
    EXPECT_EQ(RunProgram({VSK_CTL_PATH, "--port", "5", "--cashier", "Anna", "--password", kPassword,
                          "--script", script},
                         out),
              2);
    EXPECT_NE(ReadAll(out).find("no method XRepot in IVeskar; did you mean XReport?"),
              std::string::npos)
        << ReadAll(out);
    journal.clear();
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(m_dir + "/programdata")) {
        if (entry.is_regular_file())
            journal += ReadAll(entry.path());
    }
    EXPECT_EQ(journal.find("XReportFromRegisters()"), std::string::npos) << journal;
}

}  // namespace
}  // namespace vske2e
