// The TypeScript and Python clients' own tests, run against a vskmanager with the HTTP API and
// an emulated register of this test's own: the clients sell and check the tape themselves, and
// the tape is read here once more, so that a client test that quietly left its server part out
// cannot pass.
#include <unistd.h>

#include <regex>

#include "tests/e2e/server_support.h"

namespace vske2e {
namespace {

// A client test that has not ended by then is killed, and fails.
constexpr Ms kClientEnds{120000};

class ClientsE2e : public ServerE2e {
protected:
    void SetUp() override {
        ServerE2e::SetUp();
        StartRegister(m_emulator, m_dir, kPort);
    }
    void TearDown() override {
        for (const char* name : {"VSK_HTTP", "VSK_PORT", "VSK_EMULATOR_CONTROL", "VSK_CLIENT_JS",
                                 "PYTHONDONTWRITEBYTECODE"})
            unsetenv(name);
        ServerE2e::TearDown();
    }

    // Runs the client's test with the server and the register in its environment; its exit
    // status (-1 when it had to be killed), its output in m_out.
    int RunClientTest(const std::vector<std::string>& args) {
        SpawnHttpServer("127.0.0.1:0", {});
        if (m_http == 0)
            return -1;
        setenv("VSK_HTTP", ("http://127.0.0.1:" + std::to_string(m_http)).c_str(), 1);
        setenv("VSK_PORT", std::to_string(kPort).c_str(), 1);
        setenv("VSK_EMULATOR_CONTROL", (m_dir + "/ctl").c_str(), 1);
        setenv("PYTHONDONTWRITEBYTECODE", "1", 1);  // nothing written into the sources
        m_out = m_dir + "/client.out";
        const pid_t pid = SpawnLogged(args, m_out);
        return vsktest::ExitCode(vsktest::WaitChild(pid, kClientEnds));
    }

    // Receipts closed on the tape: their number's line ("RECEIPT    12").
    int Closed() {
        const std::regex number("RECEIPT +[0-9]+");
        int n = 0;
        for (const std::string& line : m_emulator.Tape(500))
            n += std::regex_match(line, number) ? 1 : 0;
        return n;
    }

    std::string m_out;
};

TEST_F(ClientsE2e, TheTypeScriptClientSellsAReceipt) {
    const std::string module = VSK_CLIENT_JS;
    if (module.empty() || access(module.c_str(), R_OK) != 0)
        GTEST_SKIP() << "the TypeScript client was not compiled: run `npm ci` in client/js "
                        "(./vsk does) and configure again";
    setenv("VSK_CLIENT_JS", module.c_str(), 1);
    EXPECT_EQ(RunClientTest(
                  {VSK_NODE_PATH, std::string(VSK_SOURCE_DIR) + "/client/js/test/client.test.mjs"}),
              0)
        << ReadAll(m_out);
    EXPECT_EQ(Closed(), 1) << ReadAll(m_out);
}

TEST_F(ClientsE2e, ThePythonClientSellsReceiptsOverHttpAndTheSocket) {
    EXPECT_EQ(RunClientTest({VSK_PYTHON_PATH, "-m", "unittest", "discover", "-v", "-s",
                             std::string(VSK_SOURCE_DIR) + "/client/python/tests"}),
              0)
        << ReadAll(m_out);
    EXPECT_EQ(Closed(), 2) << ReadAll(m_out);
}

}  // namespace
}  // namespace vske2e
