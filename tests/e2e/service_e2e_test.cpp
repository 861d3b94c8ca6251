// The programs as a Linux system sees them: honest command lines, one server per user, a
// server started by socket activation selling a receipt, and the reason of a failed call as
// the client reads it.
#include <sys/socket.h>
#include <sys/un.h>

#include "platform/command_line.h"
#include "resources/strings.h"
#include "rpc/runtime_paths.h"
#include "tests/e2e/server_support.h"

namespace vske2e {
namespace {

using namespace vsk;

// Runs a program to its end (killed after 10 s: a program that should have ended at once but
// started serving instead); the exit status, or -1.
int RunToEnd(std::vector<std::string> args, const std::string& out, const std::string& err) {
    const pid_t pid = SpawnLogged(std::move(args), out, err);
    return pid < 0 ? -1 : vsktest::ExitCode(vsktest::WaitChild(pid, Ms(10000)));
}

// Waits for a process of the test to end by itself; its exit status, or -1 (killed then).
int WaitForExit(pid_t pid, int timeoutMs) {
    return vsktest::ExitCode(vsktest::WaitChild(pid, Ms(timeoutMs)));
}

class CommandLineE2e : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        UseRuntimeFolder();
    }
};

TEST_F(CommandLineE2e, HelpVersionAndUnknownSwitchesOfEveryProgram) {
    const std::string out = m_dir + "/out", err = m_dir + "/err";
    struct Program {
        const char* path;
        const char* name;
    } programs[] = {{VSK_SERVER_PATH, "vskmanager"},
                    {VSK_CTL_PATH, "vskctl"},
                    {VSK_EMULATOR_PATH, "vsk-emulator"}};
    for (const Program& p : programs) {
        for (const char* help : {"-h", "--help"}) {
            EXPECT_EQ(RunToEnd({p.path, help}, out, err), 0) << p.name << " " << help;
            EXPECT_EQ(ReadAll(out).rfind(std::string("usage: ") + p.name, 0), 0u) << ReadAll(out);
        }
        EXPECT_EQ(RunToEnd({p.path, "--version"}, out, err), 0) << p.name;
        EXPECT_EQ(ReadAll(out), cli::VersionText(p.name) + "\n");
        EXPECT_EQ(RunToEnd({p.path, "--frobnicate"}, out, err), 2) << p.name;
        EXPECT_EQ(ReadAll(out), "");
        EXPECT_NE(ReadAll(err).find("unknown option --frobnicate"), std::string::npos)
            << ReadAll(err);
    }
    // The server started nothing and wrote nothing: no runtime folder, no registry.
    for (auto args : std::vector<std::vector<std::string>>{
             {VSK_SERVER_PATH, "-h"}, {VSK_SERVER_PATH, "-x"}, {VSK_SERVER_PATH, "stray"}})
        EXPECT_NE(RunToEnd(args, out, err), -1);
    EXPECT_FALSE(std::filesystem::exists(m_runtime + "/vskmanager"));
    EXPECT_FALSE(std::filesystem::exists(m_dir + "/registry"));
}

class ServiceE2e : public ServerE2e {
protected:
    std::string Folder() const { return m_runtime + "/vskmanager"; }
    std::string ClassFile() const { return ClassFilePath(Folder(), typelib::CLSID_Veskar); }
    void SellThroughTheServer() {
        Client till;
        ASSERT_EQ(till.Create(), S_OK);
        ASSERT_EQ(till.Init(kPort), S_OK);
        EXPECT_EQ(till.Sell(u"Хліб", 7, 1205), 1205);
        EXPECT_EQ(till->Done(), S_OK);
        EXPECT_EQ(m_emulator.State()["day_receipts"], "1");
    }
};

TEST_F(ServiceE2e, OneServerPerUserAndItSaysWhereItListens) {
    const std::string out = m_dir + "/server.out";
    m_server = SpawnLogged({VSK_SERVER_PATH, "--headless", "--listen", "127.0.0.1:0"}, out);
    ASSERT_TRUE(Eventually([&] { return ReadAll(out).find("TCP") != std::string::npos; }, 5000))
        << ReadAll(out);
    const std::string socket = Folder() + "/server-" + std::to_string(m_server) + ".sock";
    std::string said = ReadAll(out);
    EXPECT_NE(said.find("<6>"), std::string::npos) << said;
    EXPECT_NE(said.find("listening on " + socket), std::string::npos) << said;
    const size_t tcp = said.find("listening on TCP 127.0.0.1:");
    ASSERT_NE(tcp, std::string::npos) << said;
    EXPECT_GT(std::atoi(said.c_str() + tcp + 27), 0) << said;  // the real port, not 0
    EXPECT_NE(said.find("token file " + m_dir + "/config/vskmanager/tcp-token"), std::string::npos)
        << said;

    // By hand or by activation, a second server is refused and leaves the first alone.
    const std::string second = m_dir + "/second.out";
    for (const char* how : {"--headless", "-Embedding"}) {
        EXPECT_EQ(RunToEnd({VSK_SERVER_PATH, how}, second, second), 1) << how;
        EXPECT_NE(ReadAll(second).find("already running (pid " + std::to_string(m_server) +
                                       ", socket " + socket + ")"),
                  std::string::npos)
            << ReadAll(second);
    }
    EXPECT_EQ(ReadSmallFile(ClassFile()), socket + "\n");

    // A server for one object of a single-use class takes no lock.
    const pid_t single =
        SpawnLogged({VSK_SERVER_PATH, "-Embedding", "--no-instance-lock"}, m_dir + "/single.out");
    const std::string singleSocket = Folder() + "/server-" + std::to_string(single) + ".sock";
    EXPECT_TRUE(Eventually([&] { return std::filesystem::exists(singleSocket); }, 5000))
        << ReadAll(m_dir + "/single.out");
    kill(single, SIGTERM);
    EXPECT_EQ(WaitForExit(single, 10000), 0);
}

// The TCP listener off the loopback: refused in plain TCP, allowed with --insecure (said in the
// log); with a certificate it speaks TLS, and vskctl reaches it with the pinned fingerprint that
// --make-cert printed, and only with that one.
TEST_F(ServiceE2e, TheTcpListenerSpeaksTlsToVskctlWithThePinnedFingerprint) {
    const std::string refused = m_dir + "/refused.out";
    EXPECT_EQ(RunToEnd({VSK_SERVER_PATH, "--headless", "--listen", "0.0.0.0:0"}, refused, refused),
              1);
    EXPECT_NE(ReadAll(refused).find("needs --tls-cert and --tls-key"), std::string::npos)
        << ReadAll(refused);

    const std::string insecure = m_dir + "/insecure.out";
    const pid_t open = SpawnLogged(
        {VSK_SERVER_PATH, "--headless", "--listen", "0.0.0.0:0", "--insecure"}, insecure);
    EXPECT_TRUE(Eventually(
        [&] { return ReadAll(insecure).find("listening on TCP") != std::string::npos; }, 5000))
        << ReadAll(insecure);
    EXPECT_NE(ReadAll(insecure).find("<4>"), std::string::npos) << ReadAll(insecure);
    EXPECT_NE(ReadAll(insecure).find("in clear text"), std::string::npos) << ReadAll(insecure);
    kill(open, SIGTERM);
    EXPECT_EQ(WaitForExit(open, 10000), 0);

    const std::string cert = m_dir + "/cert.pem", key = m_dir + "/key.pem";
    const std::string made = m_dir + "/make-cert.out";
    ASSERT_EQ(RunToEnd({VSK_SERVER_PATH, "--make-cert", "--tls-cert", cert, "--tls-key", key}, made,
                       made),
              0)
        << ReadAll(made);
    const std::string said = ReadAll(made);
    const size_t at = said.find("SHA-256 fingerprint ");
    ASSERT_NE(at, std::string::npos) << said;
    const std::string fingerprint = said.substr(at + 20, 95);

    const std::string out = m_dir + "/server.out";
    m_server = SpawnLogged({VSK_SERVER_PATH, "--headless", "--listen", "127.0.0.1:0", "--tls-cert",
                            cert, "--tls-key", key},
                           out);
    ASSERT_TRUE(Eventually(
        [&] { return ReadAll(out).find("listening on TCP 127.0.0.1:") != std::string::npos; },
        5000))
        << ReadAll(out);
    EXPECT_NE(
        ReadAll(out).find("speaks TLS; its certificate's SHA-256 fingerprint is " + fingerprint),
        std::string::npos)
        << ReadAll(out);
    const std::string log = ReadAll(out);
    const std::string host =
        "127.0.0.1:" + std::to_string(std::atoi(log.c_str() + log.find("TCP 127.0.0.1:") + 14));

    const std::string ctl = m_dir + "/ctl.out", err = m_dir + "/ctl.err";
    std::string lower = fingerprint;
    std::erase(lower, ':');
    for (char& c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& pin : {fingerprint, lower}) {
        EXPECT_EQ(
            RunToEnd({VSK_CTL_PATH, "--host", host, "--tls-fingerprint", pin, "GetPortNumber"}, ctl,
                     err),
            0)
            << ReadAll(err);
        EXPECT_NE(ReadAll(ctl).find("GetPortNumber: S_OK"), std::string::npos) << ReadAll(ctl);
    }
    // The certificate as its own authority.
    EXPECT_EQ(RunToEnd({VSK_CTL_PATH, "--host", host, "--tls-ca", cert, "GetPortNumber"}, ctl, err),
              0)
        << ReadAll(err);

    // Another fingerprint, or none (plain TCP): refused, and said why.
    std::string wrong = fingerprint;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    EXPECT_EQ(RunToEnd({VSK_CTL_PATH, "--host", host, "--tls-fingerprint", wrong, "GetPortNumber"},
                       ctl, err),
              1);
    EXPECT_NE(ReadAll(err).find("not the one pinned"), std::string::npos) << ReadAll(err);
    EXPECT_EQ(RunToEnd({VSK_CTL_PATH, "--host", host, "GetPortNumber"}, ctl, err), 1);
    EXPECT_NE(ReadAll(err).find("speaks TLS"), std::string::npos) << ReadAll(err);

    // The same from the settings alone, as a till's service is configured once.
    kill(m_server, SIGTERM);
    EXPECT_EQ(WaitForExit(m_server, 10000), 0);
    const std::string config = "SOFTWARE\\Halvard (JSC)\\VSKManager\\CurrentConfig";
    ASSERT_TRUE(RegistryStore().SetValue(Hive::CurrentUser, config, "TcpListen",
                                         std::string("127.0.0.1:0")));
    ASSERT_TRUE(RegistryStore().SetValue(Hive::CurrentUser, config, "TlsCert", cert));
    ASSERT_TRUE(RegistryStore().SetValue(Hive::CurrentUser, config, "TlsKey", key));
    const std::string configured = m_dir + "/configured.out";
    m_server = SpawnLogged({VSK_SERVER_PATH, "--headless"}, configured);
    ASSERT_TRUE(Eventually(
        [&] {
            const std::string log = ReadAll(configured);
            // Both lines: the address is read from the log just below.
            return log.find("fingerprint is " + fingerprint) != std::string::npos &&
                   log.find("TCP 127.0.0.1:") != std::string::npos;
        },
        5000))
        << ReadAll(configured);
    const std::string text = ReadAll(configured);
    const std::string again =
        "127.0.0.1:" + std::to_string(std::atoi(text.c_str() + text.find("TCP 127.0.0.1:") + 14));
    EXPECT_EQ(
        RunToEnd({VSK_CTL_PATH, "--host", again, "--tls-fingerprint", fingerprint, "GetPortNumber"},
                 ctl, err),
        0)
        << ReadAll(err);
}

// A listening socket at the place a socket unit makes it.
int ListenAt(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(ServiceE2e, AnActivatedServerTakesTheSocketItIsHandedAndEndsWhenIdle) {
    StartRegister(m_emulator, m_dir, kPort);
    ASSERT_EQ(mkdir(Folder().c_str(), 0700), 0);
    const std::string path = ActivationSocketPath(Folder());
    const int listener = ListenAt(path);
    ASSERT_GE(listener, 0);
    const std::string out = m_dir + "/activated.out";
    const pid_t parent = getpid();
    const pid_t server = fork();
    if (server == 0) {
        vsktest::DieWithParent(parent);
        // As the service manager does: the socket as descriptor 3, LISTEN_PID naming us.
        dup2(listener, 3);
        setenv("LISTEN_FDS", "1", 1);
        setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        int log = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(log, 1);
        dup2(log, 2);
        execl(VSK_SERVER_PATH, VSK_SERVER_PATH, "--headless", nullptr);
        _exit(127);
    }
    close(listener);
    ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(ClassFile()); }, 5000))
        << ReadAll(out);
    EXPECT_EQ(ReadSmallFile(ClassFile()), path + "\n");  // the class file names that socket
    EXPECT_FALSE(std::filesystem::exists(Folder() + "/server-" + std::to_string(server) + ".sock"));
    SellThroughTheServer();
    // Released: the server ends by itself and leaves the socket and the class file to the
    // service manager, which goes on listening.
    EXPECT_EQ(WaitForExit(server, 10000), 0) << ReadAll(out);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(ReadSmallFile(ClassFile()), path + "\n");
    EXPECT_NE(ReadAll(out).find("listening on " + path), std::string::npos) << ReadAll(out);
}

TEST_F(ServiceE2e, TheFirstClientStartsTheServerThroughSocketActivation) {
    const char* activate = "/usr/bin/systemd-socket-activate";
    if (access(activate, X_OK) != 0)
        GTEST_SKIP() << "systemd-socket-activate is not installed";
    StartRegister(m_emulator, m_dir, kPort);
    ASSERT_EQ(mkdir(Folder().c_str(), 0700), 0);
    const std::string path = ActivationSocketPath(Folder());
    std::vector<std::string> args = {activate, "-l", path};
    for (const char* name : {"VSK_REGISTRY_DIR", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME",
                             "XDG_STATE_HOME", "ProgramData", "APPDATA"})
        args.insert(args.end(), {"-E", name});
    args.insert(args.end(), {VSK_SERVER_PATH, "--headless"});
    const std::string out = m_dir + "/activate.out";
    const pid_t manager = SpawnLogged(args, out);
    ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(path); }, 5000)) << ReadAll(out);
    EXPECT_FALSE(std::filesystem::exists(ClassFile()));  // no server yet
    SellThroughTheServer();
    EXPECT_EQ(WaitForExit(manager, 10000), 0) << ReadAll(out);
}

TEST_F(ServiceE2e, AFailedCallCarriesTheRegistersReason) {
    StartRegister(m_emulator, m_dir, kPort, {"--password", "1111111111"});
    EmulatorProcess silent;
    StartRegister(silent, m_dir + "/silent", kPort + 1, {"--silent"});
    StartServer();
    IDispatch* object = nullptr;
    ActivationOptions options;
    options.allowStart = false;
    ASSERT_EQ(CreateInstance(GuidToString(typelib::CLSID_Veskar), &object, options), S_OK);
    auto* till = static_cast<CRemoteObject*>(object);
    auto init = [&](int port) {
        std::vector<VARIANT> args = {VARIANT::FromLong(port), VARIANT::FromBstr(u"Anna"),
                                     VARIANT::FromBstr(u"0000000000"), VARIANT::FromLong(0),
                                     VARIANT::FromBstr(u"e2e")};
        VARIANT result;
        return till->InvokeByName("Init", InvokeKind::Method, args, &result);
    };
    // The register refuses the password: the reason is the register's word and its text.
    EXPECT_EQ(init(kPort), E_FAIL);
    EXPECT_EQ(till->LastFailure().code, "SOFTUPAS");
    // The string table has this reason in two languages (the status word's own row, and the
    // login's); a refused login says it in the login's words.
    EXPECT_EQ(till->LastFailure().message, LoadStringUtf8(text::kPasswordRefused));
    const std::string refused = till->LastFailure().message;
    // A call that succeeds carries none.
    VARIANT port;
    EXPECT_EQ(till->InvokeByName("GetPortNumber", InvokeKind::Method, {}, &port), S_OK);
    EXPECT_EQ(till->LastFailure().code, "");
    // A bound object's failure: the reason travels with the reply, and GetLastErrorCode still
    // has it to tell.
    std::vector<VARIANT> login = {VARIANT::FromLong(kPort), VARIANT::FromBstr(u"Anna"),
                                  VARIANT::FromBstr(u"1111111111"), VARIANT::FromLong(0),
                                  VARIANT::FromBstr(u"e2e")};
    ASSERT_EQ(till->InvokeByName("Init", InvokeKind::Method, login, &port), S_OK);
    ASSERT_EQ(m_emulator.Control("error SOFTPARAM"), "OK");
    EXPECT_EQ(till->InvokeByName("OpenCheck", InvokeKind::Method, {VARIANT::FromBstr(u"1")}, &port),
              E_FAIL);
    EXPECT_EQ(till->LastFailure().code, "SOFTPARAM");
    EXPECT_EQ(till->LastFailure().message, LoadStringUtf8(text::kSoftParam));
    // The register refused it: nothing was done, the same call again is safe.
    EXPECT_EQ(till->LastFailure().kind, "Refused");
    EXPECT_TRUE(till->LastFailure().retrySafe);
    VARIANT code;
    EXPECT_EQ(till->InvokeByName("GetLastErrorCode", InvokeKind::Method, {}, &code), S_OK);
    EXPECT_NE(Utf16ToUtf8(code.bstrVal()).find("SOFTPARAM"), std::string::npos);
    // Payments below the total keep the word callers know and get a kind of their own.
    ASSERT_EQ(till->InvokeByName("OpenCheck", InvokeKind::Method, {VARIANT::FromBstr(u"1")}, &port),
              S_OK);
    ASSERT_EQ(till->InvokeByName("FiscalLine", InvokeKind::Method,
                                 {VARIANT::FromBstr(u"Сир"), VARIANT::FromLong(1),
                                  VARIANT::FromLong(1000), VARIANT::FromLong(0),
                                  VARIANT::FromLong(1), VARIANT::FromLong(0), VARIANT::FromLong(0)},
                                 &port),
              S_OK);
    ASSERT_EQ(till->InvokeByName("CloseCheckEx", InvokeKind::Method,
                                 {VARIANT::FromLong(10), VARIANT::FromLong(0), VARIANT::FromLong(0),
                                  VARIANT::FromLong(0)},
                                 &port),
              S_OK);
    EXPECT_EQ(till->LastFailure().code, "CONNTIMEOUT");
    EXPECT_EQ(till->LastFailure().kind, "NotEnoughMoney");
    EXPECT_TRUE(till->LastFailure().retrySafe);
    EXPECT_EQ(till->InvokeByName("AbortCheck", InvokeKind::Method, {}, &port), S_OK);
    EXPECT_EQ(till->InvokeByName("Done", InvokeKind::Method, {}, &port), S_OK);

    // A register that never answers: another reason.
    EXPECT_EQ(init(kPort + 1), E_FAIL);
    EXPECT_EQ(till->LastFailure().code, "CONNTIMEOUT");
    EXPECT_EQ(till->LastFailure().message, LoadStringUtf8(text::kNoConnection));
    // Silence may hide a command the register did: a repeat is not known to be safe.
    EXPECT_EQ(till->LastFailure().kind, "NoAnswer");
    EXPECT_FALSE(till->LastFailure().retrySafe);
    object->Release();
    silent.Stop();

    // vskctl says it on stderr and exits non-zero.
    const std::string out = m_dir + "/ctl.out", err = m_dir + "/ctl.err";
    EXPECT_EQ(RunToEnd({VSK_CTL_PATH, "--port", std::to_string(kPort), "--cashier", "Anna",
                        "--password", "0000000000", "GetPortNumber"},
                       out, err),
              1);
    EXPECT_NE(ReadAll(err).find("vskctl: Init failed: SOFTUPAS: " + refused), std::string::npos)
        << ReadAll(err);

    // So does the Python example, instead of a traceback.
    const std::string example = std::filesystem::path(VSK_SOURCE_DIR) / "client/example_client.py";
    if (access("/usr/bin/python3", X_OK) == 0) {
        EXPECT_EQ(RunToEnd({"/usr/bin/python3", example, std::to_string(kPort)}, out, err), 1);
        EXPECT_NE(ReadAll(err).find("Init failed (0x80004005): SOFTUPAS: " + refused),
                  std::string::npos)
            << ReadAll(err);
        EXPECT_EQ(ReadAll(err).find("Traceback"), std::string::npos) << ReadAll(err);
    }
}

}  // namespace
}  // namespace vske2e
