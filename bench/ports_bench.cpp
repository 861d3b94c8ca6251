// Several registers behind one server, side by side in one run:
//  - isolation: NullCheck latency on port B with port A idle, then while A's register is silent
//    and A's calls sit in their reply waits;
//  - scaling: N = 1, 2, 4, 8 ports, each with its own register paced at the line rate and its
//    own client selling 10-line receipts; aggregate receipts per second against one port.
// It starts its own vsk-emulator programs and vskmanager in a private folder.
//   ports_bench [--seconds S] [--max-ports N] [--server PATH] [--emulator PATH]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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
#include "rpc/type_library.h"

namespace {

using Clock = std::chrono::steady_clock;

using vskbench::Spawn;

int Run(std::vector<std::string> args) {
    pid_t pid = Spawn(std::move(args));
    int status = -1;
    if (pid > 0)
        waitpid(pid, &status, 0);
    return status;
}

bool WaitFor(const std::string& path, int seconds = 10) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (!std::filesystem::exists(path))
        if (Clock::now() > until)
            return false;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return true;
}

// One command on an emulator's control socket.
void Control(const std::string& socketPath, const std::string& command) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::string line = command + "\n";
        char answer[64];
        if (write(fd, line.data(), line.size()) == ssize_t(line.size()))
            (void)!read(fd, answer, sizeof answer);
    }
    if (fd >= 0)
        close(fd);
}

struct Client {
    vsk::IVeskar* veskar = nullptr;
    ~Client() {
        if (veskar)
            veskar->Release();
    }
    bool Bind(int port) {
        vsk::ActivationOptions options;
        options.allowStart = false;
        vsk::IDispatch* object = nullptr;
        if (vsk::CreateInstance(vsk::GuidToString(vsk::typelib::CLSID_Veskar), &object, options) !=
            vsk::S_OK)
            return false;
        bool ok = vsk::QueryVeskar(object, &veskar) == vsk::S_OK;
        object->Release();
        return ok && veskar->Init(port, u"Anna", u"0000000000", 0, u"bench") == vsk::S_OK;
    }
    bool Receipt(int n) {
        vsk::LONG sum = 0, total = 0, closing = 0;
        if (veskar->OpenCheck(u"1") != vsk::S_OK)
            return false;
        for (int line = 0; line < 10; ++line) {
            if (veskar->FiscalLineEx(u"Goods", 1, 100 + n % 50 + line, 0, 1, 0, 10 + line, 0, u"",
                                     0, &sum) != vsk::S_OK) {
                veskar->AbortCheck();
                return false;
            }
            total += sum;
        }
        return veskar->CloseCheckEx(total, 0, 0, 0, &closing) == vsk::S_OK && closing == total;
    }
};

struct Latency {
    double p50 = 0, max = 0;
};

Latency NullChecks(Client& c, int count) {
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        auto t0 = Clock::now();
        c.veskar->NullCheck();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 4;
    int maxPorts = 8;
    std::string server = VSK_SERVER_PATH, emulator = VSK_EMULATOR_PATH;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--seconds" && v)
            seconds = std::atof(argv[++i]);
        else if (a == "--max-ports" && v)
            maxPorts = std::max(1, std::min(8, std::atoi(argv[++i])));
        else if (a == "--server" && v)
            server = argv[++i];
        else if (a == "--emulator" && v)
            emulator = argv[++i];
        else {
            std::fprintf(stderr,
                         "usage: ports_bench [--seconds S] [--max-ports N] [--server PATH] "
                         "[--emulator PATH]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    const std::string dir = vskbench::PrivateEnvironment("vsk-portsbench");
    if (dir.empty())
        return 1;

    std::vector<pid_t> emulators;
    pid_t serverPid = -1;
    int status = 1;
    do {
        bool started = true;
        for (int k = 0; k < maxPorts && started; ++k) {
            const std::string d = dir + "/r" + std::to_string(k);
            mkdir(d.c_str(), 0700);
            emulators.push_back(Spawn({emulator, "--pace", "--link", d + "/com", "--control",
                                       d + "/ctl", "--tape", d + "/tape.txt", "--no-stdin"}));
            started = WaitFor(d + "/com") &&
                      Run({server, "--set-port", std::to_string(5 + k), d + "/com"}) == 0;
        }
        if (!started)
            break;
        serverPid = Spawn({server, "--headless"});
        if (!WaitFor(dir + "/run/vskmanager/" + vsk::GuidToString(vsk::typelib::CLSID_Veskar)))
            break;

        // Isolation.
        {
            Client a, b;
            if (!a.Bind(5) || !b.Bind(6))
                break;
            NullChecks(b, 3);  // warm-up
            Latency idle = NullChecks(b, 20);
            Control(dir + "/r0/ctl", "silence on");
            std::atomic<bool> stop{false};
            std::thread aWaits([&] {
                while (!stop)
                    a.veskar->NullCheck();  // each one sits in its reply wait
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            Latency busy = NullChecks(b, 20);
            stop = true;
            aWaits.join();
            Control(dir + "/r0/ctl", "silence off");
            std::printf("isolation: NullCheck on port B, 20 calls\n");
            std::printf("  A idle:          p50 %7.2f ms  max %7.2f ms\n", idle.p50, idle.max);
            std::printf(
                "  A silent, busy:  p50 %7.2f ms  max %7.2f ms  (p50 %.2fx; goal <= 1 ms "
                "+ 1.2x: %s)\n",
                busy.p50, busy.max, busy.p50 / idle.p50,
                busy.p50 <= 1.0 + 1.2 * idle.p50 ? "met" : "missed");
        }
        // Let both ports close before they are used again.
        std::this_thread::sleep_for(std::chrono::seconds(4));

        // Scaling.
        std::printf("scaling: 10-line receipts, registers paced at 115200 8E2, %.0f s a run\n",
                    seconds);
        double one = 0;
        for (int n = 1; n <= maxPorts; n *= 2) {
            std::atomic<int> receipts{0}, failed{0};
            std::vector<int> perPort(size_t(n), 0);
            std::vector<std::thread> tills;
            std::atomic<int> ready{0};
            std::atomic<bool> go{false};
            Clock::time_point end;
            for (int k = 0; k < n; ++k)
                tills.emplace_back([&, k] {
                    Client c;
                    bool bound = c.Bind(5 + k);
                    ++ready;
                    while (!go)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    for (int i = 0; bound && Clock::now() < end; ++i)
                        if (c.Receipt(i)) {
                            ++receipts;
                            ++perPort[size_t(k)];
                        } else {
                            ++failed;
                        }
                });
            while (ready < n)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(seconds));
            const auto t0 = Clock::now();
            go = true;
            for (auto& t : tills)
                t.join();
            const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
            const double rate = receipts / elapsed;
            if (n == 1)
                one = rate;
            std::printf("  N=%d  %7.2f receipts/s  %.2fx one port (goal >= %.1fx)%s\n", n, rate,
                        one > 0 ? rate / one : 0, 0.9 * n,
                        failed ? "  (some receipts failed)" : "");
            std::printf("        per port:");
            for (int count : perPort)
                std::printf(" %d", count);
            std::printf("\n");
        }
        status = 0;
    } while (false);
    vskbench::Stop(serverPid);
    for (pid_t p : emulators)
        vskbench::Stop(p);
    std::filesystem::remove_all(dir);
    return status;
}
