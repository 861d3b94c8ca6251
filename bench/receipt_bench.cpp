// A 10-line receipt end-to-end: the engine on one pseudo-terminal, the emulated register on
// another, and a relay between them that stands where the serial cable would be. The relay
// counts the bytes of both directions and timestamps, for every exchange, the last byte of the
// register's READY and the first byte of the engine's next frame: the difference is the engine's
// overhead per exchange (reader thread, queue, reply wait, return to the caller, building and
// sending the next command), measured at the register's end of the line.
//
//   receipt_bench [--receipts N] [--paced-receipts N]
//
// Runs once unpaced and once with the register writing at the line rate of 115200 8E2, first on
// the real clock and then with the engine's 5 ms pre-send drain waits reduced to a look at the
// queue, so the deliberate pauses and the processing can be told apart.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/models.h"
#include "emulator/pty_register.h"
#include "emulator/register.h"
#include "engine/vsk_core.h"
#include "link/frame.h"
#include "link/settings.h"
#include "platform/clock.h"
#include "platform/registry.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPort = 9;
constexpr int kLineRate = 115200;
constexpr int kBitsPerByte = 12;  // start, 8 data, even parity, 2 stop

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// The cable: forwards bytes between the engine's pty (master side) and the register's slave,
// counting them and timing the turn-arounds.
class Relay {
public:
    bool Open(const std::string& registerSlave, std::string& enginePath) {
        m_engineMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_engineMaster < 0 || grantpt(m_engineMaster) != 0 || unlockpt(m_engineMaster) != 0)
            return false;
        enginePath = ptsname(m_engineMaster);
        // Kept open so that the master never sees a hang-up while the engine reopens the port.
        m_engineSlave = open(enginePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        m_register = open(registerSlave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_engineSlave < 0 || m_register < 0)
            return false;
        termios t{};
        if (tcgetattr(m_register, &t) != 0)
            return false;
        cfmakeraw(&t);
        t.c_cflag |= CS8 | PARENB | CSTOPB | CLOCAL | CREAD;
        cfsetspeed(&t, B115200);
        if (tcsetattr(m_register, TCSANOW, &t) != 0)
            return false;
        if (pipe(m_stop) != 0)
            return false;
        m_thread = std::thread([this] { Run(); });
        return true;
    }

    ~Relay() {
        if (m_thread.joinable()) {
            const char c = 0;
            (void)!write(m_stop[1], &c, 1);
            m_thread.join();
        }
        for (int fd : {m_engineMaster, m_engineSlave, m_register, m_stop[0], m_stop[1]}) {
            if (fd >= 0)
                close(fd);
        }
    }

    // Counting and timing happen only while recording.
    void Record(bool on) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_recording = on;
        m_readyAt.reset();
    }
    struct Figures {
        uint64_t toRegister = 0, fromRegister = 0;
        std::vector<double> overheadUs;
        std::vector<double> turnaroundUs;  // engine's last byte to the register's first
        std::vector<double> replyUs;       // register's first byte to the end of its READY
    };
    Figures Take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        Figures f = std::move(m_figures);
        m_figures = {};
        return f;
    }

private:
    struct Sink : vsk::FrameDecoder::Sink {
        bool ready = false;
        void OnMessage(const vsk::PrinterMessage& m) override {
            if (std::string_view(m.Text()) == "READY")
                ready = true;
        }
    };

    static bool WriteAll(int fd, const uint8_t* data, size_t count) {
        while (count > 0) {
            const ssize_t n = write(fd, data, count);
            if (n > 0) {
                data += n;
                count -= static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            } else {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 10);
            }
        }
        return true;
    }

    void Run() {
        uint8_t buffer[4096];
        vsk::FrameDecoder replies;
        for (;;) {
            pollfd p[3] = {
                {m_engineMaster, POLLIN, 0}, {m_register, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
            if (poll(p, 3, 1000) < 0 && errno != EINTR)
                return;
            if (p[2].revents)
                return;
            if (p[0].revents & POLLIN) {
                const ssize_t n = read(m_engineMaster, buffer, sizeof buffer);
                const Clock::time_point at = Clock::now();
                if (n > 0) {
                    {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        if (m_recording) {
                            m_figures.toRegister += static_cast<uint64_t>(n);
                            if (m_readyAt) {
                                m_figures.overheadUs.push_back(Micros(at - *m_readyAt));
                                m_readyAt.reset();
                            }
                            m_commandEnd = at;
                            m_replyStart.reset();
                        }
                    }
                    WriteAll(m_register, buffer, static_cast<size_t>(n));
                }
            }
            if (p[1].revents & POLLIN) {
                const ssize_t n = read(m_register, buffer, sizeof buffer);
                if (n > 0) {
                    WriteAll(m_engineMaster, buffer, static_cast<size_t>(n));
                    const Clock::time_point at = Clock::now();
                    Sink sink;
                    replies.Feed(buffer, static_cast<size_t>(n), sink);
                    std::lock_guard<std::mutex> lock(m_mutex);
                    if (m_recording) {
                        m_figures.fromRegister += static_cast<uint64_t>(n);
                        if (!m_replyStart) {
                            m_replyStart = at;
                            if (m_commandEnd)
                                m_figures.turnaroundUs.push_back(Micros(at - *m_commandEnd));
                            m_commandEnd.reset();
                        }
                        if (sink.ready) {
                            m_readyAt = at;
                            m_figures.replyUs.push_back(Micros(at - *m_replyStart));
                            m_replyStart.reset();
                        }
                    }
                }
            }
        }
    }

    int m_engineMaster = -1, m_engineSlave = -1, m_register = -1;
    int m_stop[2] = {-1, -1};
    std::thread m_thread;
    std::mutex m_mutex;
    bool m_recording = false;
    std::optional<Clock::time_point> m_readyAt, m_commandEnd, m_replyStart;
    Figures m_figures;
};

// The real clock, except that it counts the short pre-send drain waits (5 ms nominal) and the
// time they take, and can run them as a mere look at the queue: that separates the protocol's
// deliberate pause from the engine's own processing.
class BenchClock : public vsk::IClock {
public:
    explicit BenchClock(bool skipDrainWaits) : m_skip(skipDrainWaits) {}
    void Sleep(uint32_t ms) override { vsk::RealClock().Sleep(ms); }
    bool Wait(const vsk::ManualResetEvent& event, uint32_t ms) override {
        if (ms > kDrainWaitMs || !m_counting)
            return vsk::RealClock().Wait(event, ms);
        const Clock::time_point start = Clock::now();
        const bool signalled = vsk::RealClock().Wait(event, m_skip ? 0 : ms);
        m_drainWaits += 1;
        m_drainTime += Clock::now() - start;
        return signalled;
    }
    int64_t NowMs() override { return vsk::RealClock().NowMs(); }

    void Count(bool on) { m_counting = on; }
    uint64_t DrainWaits() const { return m_drainWaits; }
    Clock::duration DrainTime() const { return m_drainTime; }

private:
    static constexpr uint32_t kDrainWaitMs = 5;
    bool m_skip;
    bool m_counting = false;
    uint64_t m_drainWaits = 0;
    Clock::duration m_drainTime{};
};

bool SellReceipt(CVSKCore& core, int serial) {
    if (core.OpenCheck("1") != 1)
        return false;
    for (int i = 0; i < 10; ++i) {
        const std::string name = "Goods " + std::to_string(i);
        if (core.FiscalLine(name, 1 + i % 3, 100 + 37 * i + serial % 7, 0, 1 + i % 2, 0, i + 1) <=
            0)
            return false;
    }
    return core.CloseCheck() > 0;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

bool Run(bool paced, int receipts, bool skipDrainWaits) {
    vsk::emu::RegisterOptions options;
    vsk::emu::Register reg(vsk::emu::DefaultModel(), options);
    vsk::emu::LineFaults faults;
    faults.pace = paced;
    vsk::emu::PtyRegister pty(reg, faults);
    std::string error, enginePath;
    Relay relay;
    if (!pty.Open(error) || !relay.Open(pty.SlavePath(), enginePath) || !pty.Start(error)) {
        std::fprintf(stderr, "receipt_bench: cannot set up the line: %s\n", error.c_str());
        return false;
    }
    vsk::RegistryStore().SetValue(vsk::Hive::CurrentUser,
                                  "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports",
                                  "COM" + std::to_string(kPort), enginePath);

    BenchClock clock(skipDrainWaits);
    CVSKCore core(kPort, &clock);
    if (core.Init("COM" + std::to_string(kPort), "Bench", "0000000000") != 1) {
        std::fprintf(stderr, "receipt_bench: no connection: %s\n", core.GetLastErrorCode().c_str());
        return false;
    }

    relay.Record(true);
    clock.Count(true);
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < receipts; ++i) {
        if (!SellReceipt(core, i)) {
            std::fprintf(stderr, "receipt_bench: receipt %d failed: %s\n", i,
                         core.GetLastErrorCode().c_str());
            return false;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    relay.Record(false);
    clock.Count(false);
    Relay::Figures f = relay.Take();
    core.Done();

    const double perReceipt = seconds / receipts;
    const double bytesTo = static_cast<double>(f.toRegister) / receipts;
    const double bytesFrom = static_cast<double>(f.fromRegister) / receipts;
    const double wireTo = bytesTo * kBitsPerByte / kLineRate;
    const double wireFrom = bytesFrom * kBitsPerByte / kLineRate;
    const double mean =
        f.overheadUs.empty()
            ? 0
            : std::accumulate(f.overheadUs.begin(), f.overheadUs.end(), 0.0) / f.overheadUs.size();
    std::printf("%s, %d receipts of 10 lines, %s\n",
                paced ? "register paced at 115200 8E2" : "unpaced", receipts,
                skipDrainWaits ? "pre-send drain waits skipped" : "real clock");
    std::printf("  receipts per second        %10.1f  (%.2f ms per receipt)\n", 1 / perReceipt,
                perReceipt * 1000);
    std::printf("  bytes per receipt          %10.0f  (to register %.0f, from register %.0f)\n",
                bytesTo + bytesFrom, bytesTo, bytesFrom);
    std::printf("  wire-limit time at 115200  %10.2f ms (to register %.2f, from register %.2f)\n",
                (wireTo + wireFrom) * 1000, wireTo * 1000, wireFrom * 1000);
    std::printf("  exchanges measured         %10zu  (%.1f per receipt)\n", f.overheadUs.size(),
                static_cast<double>(f.overheadUs.size()) / receipts);
    std::printf(
        "  engine overhead per exchange: mean %.0f us, median %.0f us, p90 %.0f us, "
        "max %.0f us\n",
        mean, Percentile(f.overheadUs, 0.5), Percentile(f.overheadUs, 0.9),
        Percentile(f.overheadUs, 1.0));
    std::printf("  register turn-around: median %.0f us; its replies take: median %.0f us\n",
                Percentile(f.turnaroundUs, 0.5), Percentile(f.replyUs, 0.5));
    const double exchanges = static_cast<double>(std::max<size_t>(1, f.overheadUs.size()));
    std::printf("  pre-send drain waits         %.2f per exchange, %.0f us per exchange\n",
                static_cast<double>(clock.DrainWaits()) / exchanges,
                Micros(clock.DrainTime()) / exchanges);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int receipts = 100, pacedReceipts = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--receipts") {
            receipts = std::max(1, std::atoi(argv[i + 1]));
        } else if (a == "--paced-receipts") {
            pacedReceipts = std::max(1, std::atoi(argv[i + 1]));
        } else {
            std::fprintf(stderr,
                         "usage: receipt_bench [--receipts N] [--paced-receipts N] "
                         "\n");
            return 2;
        }
    }

    char pattern[] = "/tmp/vsk-bench-XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    const std::string dir = pattern;
    setenv("VSK_REGISTRY_DIR", (dir + "/registry").c_str(), 1);
    setenv("ProgramData", (dir + "/programdata").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
    vsk::WriteConfigInt(vsk::kCurrentConfig, vsk::kSaveToLog, 0);

    bool ok = true;
    for (bool skipDrainWaits : {false, true}) {
        ok = ok && Run(false, receipts, skipDrainWaits) && Run(true, pacedReceipts, skipDrainWaits);
    }
    std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}
