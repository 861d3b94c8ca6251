// Round trip of an automation call over the Unix socket against a bare line echo measured in
// the same run, and calls per second over 8 concurrent connections.
//
// The call is GetPortNumber on an unbound Veskar object: it answers from the object's own
// state, so neither a register nor the engine is involved and what is measured is the client
// library, the socket, the JSON codec and the server's dispatch. The echo peer is a separate
// process reading and writing one line of the same length, so both sides pay the same
// scheduling and copy costs.
//
// With a register program (the vsk-emulator of this build unless --emulator names another or
// --no-register is given) a second object is bound to it and GetCheckSum is measured too: a
// counter the bound object reads from the port's engine without asking the register.
//
//   rpc_bench [--iterations N] [--seconds S] [--connections C] [--server PATH]
//             [--emulator PATH | --no-register]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_support.h"
#include "client/client.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int iterations = 20000;
    double seconds = 2.0;
    int connections = 8;
    std::string server = VSK_SERVER_PATH;
#ifdef VSK_EMULATOR_PATH
    std::string emulator = VSK_EMULATOR_PATH;
#else
    std::string emulator;
#endif
};

using vskbench::Spawn;

// One line out, one line back, on a blocking stream socket.
class LineSocket {
public:
    explicit LineSocket(int fd) : m_fd(fd) {}
    ~LineSocket() {
        if (m_fd >= 0)
            close(m_fd);
    }
    bool Send(const std::string& line) {
        size_t done = 0;
        while (done < line.size()) {
            ssize_t n = write(m_fd, line.data() + done, line.size() - done);
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    }
    bool Receive(std::string* line) {
        for (;;) {
            size_t end = m_in.find('\n');
            if (end != std::string::npos) {
                line->assign(m_in, 0, end + 1);
                m_in.erase(0, end + 1);
                return true;
            }
            char buffer[4096];
            ssize_t n = read(m_fd, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            m_in.append(buffer, size_t(n));
        }
    }

private:
    int m_fd;
    std::string m_in;
};

int ConnectUnix(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

// The echo peer: a child process that answers every line of one connection with itself.
pid_t StartEcho(const std::string& path) {
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 1) != 0)
        return -1;
    const pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        vsktest::DieWithParent(parent);
        int fd = accept(listener, nullptr, nullptr);
        LineSocket peer(fd);
        std::string line;
        while (peer.Receive(&line) && peer.Send(line)) {
        }
        _exit(0);
    }
    close(listener);
    return child;
}

struct Percentiles {
    double p50 = 0, p99 = 0, mean = 0;
};

Percentiles Summarise(std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    Percentiles p;
    if (us.empty())
        return p;
    p.p50 = us[us.size() / 2];
    p.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    double total = 0;
    for (double v : us)
        total += v;
    p.mean = total / double(us.size());
    return p;
}

template <class F>
bool Measure(int iterations, std::vector<double>* us, F roundTrip) {
    for (int i = 0; i < iterations / 10; ++i)  // warm-up
        if (!roundTrip())
            return false;
    us->reserve(size_t(iterations));
    for (int i = 0; i < iterations; ++i) {
        auto start = Clock::now();
        if (!roundTrip())
            return false;
        us->push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return true;
}

void Print(const char* what, const Percentiles& p) {
    std::printf("%-34s p50 %8.1f us   p99 %8.1f us   mean %8.1f us\n", what, p.p50, p.p99, p.mean);
}

vsk::IVeskar* NewObject() {
    vsk::ActivationOptions options;
    options.allowStart = false;
    vsk::IDispatch* object = nullptr;
    if (vsk::CreateInstance(vsk::GuidToString(vsk::typelib::CLSID_Veskar), &object, options) !=
        vsk::S_OK)
        return nullptr;
    vsk::IVeskar* veskar = nullptr;
    vsk::QueryVeskar(object, &veskar);
    object->Release();
    return veskar;
}

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--iterations" && (v = next()))
            o->iterations = std::max(10, std::atoi(v));
        else if (a == "--seconds" && (v = next()))
            o->seconds = std::max(0.1, std::atof(v));
        else if (a == "--connections" && (v = next()))
            o->connections = std::max(1, std::atoi(v));
        else if (a == "--server" && (v = next()))
            o->server = v;
        else if (a == "--emulator" && (v = next()))
            o->emulator = v;
        else if (a == "--no-register")
            o->emulator.clear();
        else
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: rpc_bench [--iterations N] [--seconds S] [--connections C] "
                     "[--server PATH] [--emulator PATH | --no-register]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);

    const std::string dir = vskbench::PrivateEnvironment("vsk-rpcbench");
    if (dir.empty()) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string runtime = dir + "/run";

    int status = 1;
    pid_t server = -1, echo = -1, emulator = -1;
    do {
        // The register program on a pseudo-terminal, mapped to COM5 before the server starts.
        if (!options.emulator.empty()) {
            emulator = Spawn({options.emulator, "--link", dir + "/com", "--control", dir + "/ctl",
                              "--tape", dir + "/tape.txt", "--no-stdin"});
            const auto until = Clock::now() + std::chrono::seconds(5);
            while (emulator > 0 && !std::filesystem::exists(dir + "/com") && Clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            int mapped = -1;
            if (pid_t map = Spawn({options.server, "--set-port", "5", dir + "/com"}); map > 0)
                waitpid(map, &mapped, 0);
            if (emulator < 0 || mapped != 0) {
                std::fprintf(stderr, "cannot start %s\n", options.emulator.c_str());
                break;
            }
        }
        // The server, started as an operator would (it serves until SIGTERM).
        server = Spawn({options.server, "--headless"});
        if (server < 0) {
            std::fprintf(stderr, "cannot start %s\n", options.server.c_str());
            break;
        }
        const std::string classFile =
            runtime + "/vskmanager/" + vsk::GuidToString(vsk::typelib::CLSID_Veskar);
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!std::filesystem::exists(classFile) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));

        vsk::IVeskar* veskar = NewObject();
        if (!veskar) {
            std::fprintf(stderr, "the server did not serve the Veskar class\n");
            break;
        }

        // 1. The automation call through libvskclient.
        std::vector<double> rpcUs;
        vsk::LONG port = 0;
        bool ok = Measure(options.iterations, &rpcUs,
                          [&] { return veskar->GetPortNumber(&port) == vsk::S_OK && port == -1; });

        // 2. The same request written by hand on a socket of its own: the server's share
        // without the client library.
        std::vector<double> rawUs;
        std::string socketPath;
        for (const auto& entry : std::filesystem::directory_iterator(runtime + "/vskmanager"))
            if (entry.path().filename().string().rfind("server-", 0) == 0)
                socketPath = entry.path().string();
        LineSocket raw(ConnectUnix(socketPath));
        std::string reply;
        ok = ok &&
             raw.Send(
                 "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"CreateInstance\","
                 "\"params\":{\"progid\":\"VSKManager.Veskar\"}}\n") &&
             raw.Receive(&reply);
        const size_t objectAt = reply.find("\"object\":");
        const std::string object =
            objectAt == std::string::npos ? "0" : std::to_string(std::atoi(&reply[objectAt + 9]));
        const std::string request =
            "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"Invoke\",\"params\":{\"object\":" + object +
            ",\"name\":\"GetPortNumber\",\"args\":[]}}\n";
        ok = ok && Measure(options.iterations, &rawUs, [&] {
                 return raw.Send(request) && raw.Receive(&reply) &&
                        reply.find("\"value\":-1") != std::string::npos;
             });

        // 3. The bare echo of a line as long as that request.
        std::vector<double> echoUs;
        const std::string echoPath = dir + "/echo.sock";
        echo = StartEcho(echoPath);
        LineSocket echoSocket(ConnectUnix(echoPath));
        const std::string line = std::string(request.size() - 1, 'x') + "\n";
        ok = ok && echo > 0 && Measure(options.iterations, &echoUs, [&] {
                 return echoSocket.Send(line) && echoSocket.Receive(&reply) && reply == line;
             });
        veskar->Release();

        // 4. A counter of a bound object's engine.
        std::vector<double> boundUs;
        if (ok && emulator > 0) {
            vsk::IVeskar* bound = NewObject();
            ok = bound && bound->Init(5, u"Anna", u"0000000000", 0, u"rpc_bench") == vsk::S_OK;
            vsk::LONG sum = -1;
            ok = ok && Measure(options.iterations, &boundUs,
                               [&] { return bound->GetCheckSum(&sum) == vsk::S_OK && sum == 0; });
            if (bound)
                bound->Release();
        }
        if (!ok) {
            std::fprintf(stderr, "a round trip failed\n");
            break;
        }

        // 5. Calls per second over concurrent connections, one object and thread each.
        std::vector<vsk::IVeskar*> objects;
        for (int i = 0; i < options.connections; ++i)
            if (vsk::IVeskar* v = NewObject())
                objects.push_back(v);
        std::atomic<bool> go{false}, stop{false}, failed{false};
        std::atomic<long> calls{0};
        std::vector<std::thread> threads;
        for (vsk::IVeskar* v : objects) {
            threads.emplace_back([&, v] {
                while (!go)
                    std::this_thread::yield();
                long mine = 0;
                vsk::LONG p = 0;
                while (!stop) {
                    if (v->GetPortNumber(&p) != vsk::S_OK) {
                        failed = true;
                        break;
                    }
                    ++mine;
                }
                calls += mine;
            });
        }
        const auto start = Clock::now();
        go = true;
        std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
        stop = true;
        for (std::thread& t : threads)
            t.join();
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        for (vsk::IVeskar* v : objects)
            v->Release();

        Percentiles rpc = Summarise(rpcUs), rawP = Summarise(rawUs), bare = Summarise(echoUs);
        std::printf("%d round trips each, request line %zu bytes\n", options.iterations,
                    request.size());
        Print("bare Unix-socket echo", bare);
        Print("GetPortNumber, raw JSON-RPC", rawP);
        Print("GetPortNumber, libvskclient", rpc);
        Percentiles bound = Summarise(boundUs);
        if (!boundUs.empty())
            Print("GetCheckSum (bound), libvskclient", bound);
        std::printf("p50 ratio libvskclient / echo: %.2f (goal: within 2)\n", rpc.p50 / bare.p50);
        std::printf("p50 ratio raw JSON-RPC / echo: %.2f\n", rawP.p50 / bare.p50);
        std::printf("%zu connections: %.0f calls/s over %.1f s%s\n", objects.size(),
                    double(calls) / elapsed, elapsed, failed ? " (a call failed)" : "");
        status = failed || int(objects.size()) != options.connections ? 1 : 0;
    } while (false);

    vskbench::Stop(echo);
    vskbench::Stop(server);
    vskbench::Stop(emulator);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
