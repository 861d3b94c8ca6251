// A crowd cannot shut the HTTP API out: while another user's crowd holds idle connections,
// trickles headers, reads or ignores event streams, or stalls TLS handshakes, a till (the
// test's own user) sells whole receipts and reads /v1/health, each call answered in time, and
// the crowd's connections are refused or cut as the listener's limits say.
#include <poll.h>
#include <sys/wait.h>

#include <regex>

#include "http/http_admission.h"
#include "rpc/runtime_paths.h"
#include "tests/e2e/http_crowd_launch.h"
#include "tests/e2e/http_support.h"
#include "tests/e2e/server_support.h"

namespace vske2e {
namespace {

namespace limits = vsk::http_limits;
constexpr uid_t kStranger = 65534;
// Per call of the till, generous for a loaded 2-core machine: unloaded they take milliseconds.
constexpr int64_t kCallBoundMs = 2000;

struct CrowdCounts {
    int opened = -1, refused = 0, cut = 0, busy = 0, served = 0, open = 0;
};

// vsk-http-crowd run as kStranger, killed on every path.
class Crowd {
public:
    Crowd(const std::string& kind, int port, int count, int holdMs) {
        m_pid = LaunchCrowd(VSK_CROWD_PATH,
                            {VSK_CROWD_PATH, kind, std::to_string(port), std::to_string(count),
                             std::to_string(holdMs),
                             vsk::ReadTokenFile(vsk::DefaultTokenFile(), nullptr).value_or("")},
                            kStranger, &m_out);
    }
    ~Crowd() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0)
            close(m_out);
    }
    // Waits for "ready" (every connection opened), or for the counts at the end.
    bool Ready() { return ReadUntil("ready\n", 10000); }
    CrowdCounts Counts() {
        CrowdCounts c;
        if (!ReadUntil("open=", 15000) || !ReadUntil("\n", 1000))
            return c;
        std::smatch m;
        std::regex re(
            "opened=(\\d+) refused=(\\d+) cut=(\\d+) busy=(\\d+) served=(\\d+) open=(\\d+)");
        if (std::regex_search(m_text, m, re))
            c = {std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]),
                 std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[6])};
        return c;
    }
    const std::string& Output() const { return m_text; }

private:
    bool ReadUntil(const std::string& what, int limitMs) {
        const auto since = std::chrono::steady_clock::now();
        while (m_text.find(what, m_seen) == std::string::npos) {
            pollfd p{m_out, POLLIN, 0};
            const int64_t left = limitMs - ElapsedMs(since);
            char buf[256];
            ssize_t n = 0;
            if (m_out < 0 || left <= 0 || poll(&p, 1, int(left)) <= 0 ||
                (n = read(m_out, buf, sizeof buf)) <= 0)
                return false;
            m_text.append(buf, size_t(n));
        }
        m_seen = m_text.find(what, m_seen) + what.size();
        return true;
    }
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_text;
    size_t m_seen = 0;
};

const char kReceipt[] =
    R"({"cashier":"Anna","password":"0000000000","lines":[{"name":"Хліб","quantity":1,)"
    R"("price":1205}],"payments":{"cash":2000}})";

class HttpCrowdE2e : public ServerE2e {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "the crowd is another user: run as root";
        ServerE2e::SetUp();
        StartRegister(m_emulator, m_dir, kPort);
    }

    void StartServer(std::vector<std::string> extra = {}) {
        if (m_server > 0) {
            kill(m_server, SIGTERM);
            waitpid(m_server, nullptr, 0);
        }
        SpawnHttpServer("127.0.0.1:0", extra);
    }

    // The till's call over HTTPS, through curl: its status (0: none).
    int Curl(const std::string& path, const std::string& body = {}) {
        const std::string out = m_dir + "/curl.out";
        std::vector<std::string> args = {"/usr/bin/curl",
                                         "-s",
                                         "-o",
                                         "/dev/null",
                                         "-w",
                                         "%{http_code}",
                                         "--max-time",
                                         "10",
                                         "--cacert",
                                         m_cert,
                                         "https://127.0.0.1:" + std::to_string(m_http) + path};
        if (!body.empty())
            args.insert(args.end() - 1, {"-H", "Content-Type: application/json", "-d", body});
        pid_t curl = SpawnLogged(args, out);
        waitpid(curl, nullptr, 0);
        return std::atoi(ReadAll(out).c_str());
    }

    // The till's health reading and whole receipt, each timed and checked.
    void TillCalls(const std::string& row, bool tls, int* receipts) {
        auto timed = [&](const char* what, const std::function<int()>& call) {
            const auto since = std::chrono::steady_clock::now();
            const int status = call();
            const int64_t ms = ElapsedMs(since);
            EXPECT_EQ(status, 200) << row << ": " << what;
            EXPECT_LT(ms, kCallBoundMs) << row << ": " << what;
            return status == 200;
        };
        timed("health",
              [&] { return tls ? Curl("/v1/health") : Http(m_http, "GET", "/v1/health").status; });
        *receipts += timed("receipt", [&] {
            const std::string path = "/v1/ports/" + std::to_string(kPort) + "/receipts";
            return tls ? Curl(path, kReceipt) : Http(m_http, "POST", path, kReceipt).status;
        });
    }

    EmulatorProcess m_emulator;
    std::string m_cert;
};

// One row a load: the crowd holds it while the till sells; every row ends with the crowd gone.
TEST_F(HttpCrowdE2e, ATillIsServedInTimeUnderEveryCrowd) {
    struct Load {
        const char* kind;
        int count, holdMs;
        bool tls;
        std::function<void(const CrowdCounts&)> check;
    };
    const int peerCap = int(limits::kConnectionsPerPeer);
    const Load loads[] = {
        {"idle", 128, 2500, false, {}},
        // Held past the header deadline: every trickle the crowd was given is cut by then.
        {"trickle", 140, int(std::chrono::milliseconds(limits::kHeaderDeadline).count()) + 1500,
         false,
         [&](const CrowdCounts& c) {
             EXPECT_EQ(c.open, 0);
             EXPECT_GT(c.cut, 0);
         }},
        {"events", 128, 2500, false,
         [&](const CrowdCounts& c) {
             EXPECT_GT(c.served, 0);
             EXPECT_LE(c.served, int(limits::kEventStreamsPerPeer));
             EXPECT_GT(c.busy, 0) << "the streams past the peer's are answered 503";
         }},
        {"deaf", 300, 2500, false,
         [&](const CrowdCounts& c) {
             EXPECT_GT(c.served, 0) << "the streams of the readers before have been let go";
             EXPECT_LE(c.served, int(limits::kEventStreamsPerPeer));
         }},
        {"tls", 130, 2500, true, {}},
    };
    StartServer();
    ASSERT_EQ(
        Http(m_http, "POST", "/v1/ports/" + std::to_string(kPort) + "/receipts", kReceipt).status,
        200)
        << "the first receipt binds the port";
    int receipts = 1;
    for (const Load& load : loads) {
        if (load.tls && m_cert.empty()) {
            if (access("/usr/bin/curl", X_OK) != 0)
                continue;  // no TLS client for the till
            m_cert = m_dir + "/tls/cert.pem";
            const std::string key = m_dir + "/tls/key.pem";
            pid_t maker = SpawnLogged(
                {VSK_SERVER_PATH, "--make-cert", "--tls-cert", m_cert, "--tls-key", key},
                m_dir + "/make-cert.out");
            waitpid(maker, nullptr, 0);
            StartServer({"--tls-cert", m_cert, "--tls-key", key});
        }
        Crowd crowd(load.kind, m_http, load.count, load.holdMs);
        ASSERT_TRUE(crowd.Ready()) << load.kind << ": " << crowd.Output();
        const auto since = std::chrono::steady_clock::now();
        // A till's pace, not a flood: a receipt and a health reading every 200 ms or so.
        while (ElapsedMs(since) < load.holdMs - 300) {
            TillCalls(load.kind, load.tls, &receipts);
            std::this_thread::sleep_for(Ms(150));
        }
        const CrowdCounts c = crowd.Counts();
        std::printf("%-8s %s", load.kind, crowd.Output().c_str());
        EXPECT_EQ(c.opened, load.count) << load.kind << ": " << crowd.Output();
        // One peer never holds more than its share: the rest is closed at once.
        EXPECT_GE(c.refused, load.count - peerCap) << load.kind << ": " << crowd.Output();
        if (load.check) {
            SCOPED_TRACE(load.kind + (": " + crowd.Output()));
            load.check(c);
        }
        // The crowd has gone; the server sees it at its next sweep, a stream's thread within
        // the second it waits for an event.
        std::this_thread::sleep_for(limits::kSweepPeriod + Ms(1250));
    }
    // The whole tape, from its file: the control socket answers only its last lines.
    EXPECT_TRUE(Eventually(
        [&] { return Count(ReadAll(m_dir + "/tape.txt"), "RECEIPT ") == receipts; }, 5000))
        << "every receipt answered 200 is on the tape: " << receipts;
}

}  // namespace
}  // namespace vske2e
