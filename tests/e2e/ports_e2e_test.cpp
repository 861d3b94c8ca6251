// Several registers behind one server: a register that is silent, slow to open or slow to close
// holds up its own port only, and a shop's worth of tills selling at once through faults on the
// line and a till that dies keeps every register's figures equal to what the tills were told.
#include <sys/wait.h>

#include <mutex>
#include <random>

#include "tests/e2e/server_support.h"

namespace vske2e {
namespace {

class PortsE2e : public ServerE2e {
protected:
    // Register `index` (0 is the fixture's own) on port kPort + index.
    EmulatorProcess& Register(int index) { return index == 0 ? m_emulator : *m_more[index - 1]; }
    std::string RegisterDir(int index) const {
        return index == 0 ? m_dir : m_dir + "/reg" + std::to_string(index);
    }
    void StartRegisters(int count, const std::vector<std::vector<std::string>>& args = {}) {
        for (int i = 0; i < count; ++i) {
            if (i > 0)
                m_more.push_back(std::make_unique<EmulatorProcess>());
            StartRegister(Register(i), RegisterDir(i), kPort + i,
                          i < int(args.size()) ? args[i] : std::vector<std::string>{});
        }
    }
    void StopSecond() override { m_more.clear(); }

    std::vector<std::unique_ptr<EmulatorProcess>> m_more;
};

TEST_F(PortsE2e, ASlowRegisterHoldsUpOnlyItsOwnPort) {
    StartRegisters(3, {{}, {}, {"--silent"}});
    StartServer();
    Client a, b, unplugged;
    ASSERT_EQ(a.Create(), S_OK);
    ASSERT_EQ(b.Create(), S_OK);
    ASSERT_EQ(unplugged.Create(), S_OK);
    ASSERT_EQ(a.Init(kPort), S_OK);
    ASSERT_EQ(b.Init(kPort + 1), S_OK);

    // Port A's register goes quiet while A waits for it; a third client opens a port whose
    // register never answers (the wake probes, the slower speed, the login retries).
    ASSERT_EQ(m_emulator.Control("silence on"), "OK");
    const auto start = std::chrono::steady_clock::now();
    std::atomic<int64_t> aEnded{-1}, initEnded{-1};
    std::thread aWaits([&] {
        a->NullCheck();  // a ready wait that runs out counts as done: only its length matters
        aEnded = ElapsedMs(start);
    });
    std::thread initWaits([&] {
        EXPECT_EQ(unplugged.Init(kPort + 2), E_FAIL);
        initEnded = ElapsedMs(start);
    });
    std::this_thread::sleep_for(Ms(200));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(b->NullCheck(), S_OK);
    EXPECT_EQ(b.Sell(u"Bread", 41, 1500), 1500);
    const int64_t bEnded = ElapsedMs(start);
    aWaits.join();
    EXPECT_LT(bEnded, aEnded.load()) << "port B waited for port A's register";
    EXPECT_GE(aEnded.load(), 2500);  // the ready wait ran out: A was waiting all along
    initWaits.join();
    EXPECT_LT(bEnded, initEnded.load());
    EXPECT_EQ(Register(1).State()["day_receipts"], "1");

    // The last client of a port lets it go with a pause before the port closes; the other
    // port sells meanwhile.
    ASSERT_EQ(m_emulator.Control("silence off"), "OK");
    const auto closing = std::chrono::steady_clock::now();
    std::atomic<int64_t> doneEnded{-1};
    std::thread aLeaves([&] {
        EXPECT_EQ(a->Done(), S_OK);
        doneEnded = ElapsedMs(closing);
    });
    std::this_thread::sleep_for(Ms(100));
    EXPECT_EQ(b.Sell(u"Milk", 42, 2300), 2300);
    const int64_t sold = ElapsedMs(closing);
    aLeaves.join();
    EXPECT_LT(sold, doneEnded.load()) << "port B waited for port A's closing";
}

// The tape's receipt totals, in order ("TOTAL   12.34" lines).
std::vector<std::string> TapeTotals(const std::string& tape) {
    std::vector<std::string> totals;
    std::istringstream in(tape);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("TOTAL", 0) == 0)
            totals.push_back(line.substr(line.find_last_of(' ') + 1));
    return totals;
}

// Four registers, two tills on each, every till selling receipts in a loop under the port lock,
// while the lines carry noise, split bytes and error words, one register goes silent for 5 s and
// one till is killed with its receipt open. Afterwards each register holds exactly the receipts
// its tills were told were closed, with the same totals.
TEST_F(PortsE2e, SoakFourRegistersEightTillsWithFaults) {
    constexpr int kRegisters = 4, kTillsPerRegister = 2;
    constexpr auto kSelling = std::chrono::seconds(20);
    StartRegisters(kRegisters, {{"--noise"}, {"--split"}, {}, {}});

    // The till that dies: its own process, forked before any thread of this test exists.
    int go[2], ready[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(ready), 0);
    StartServer();
    const pid_t parent = getpid();
    const pid_t doomed = fork();
    ASSERT_GE(doomed, 0);
    if (doomed == 0) {
        vsktest::DieWithParent(parent);
        close(go[1]);
        close(ready[0]);
        char byte;
        if (read(go[0], &byte, 1) != 1)
            _exit(2);
        char status = 'x';
        Client c;
        LONG sum = 0;
        if (c.Create() == S_OK && c.Init(kPort) == S_OK && c->LockPrinter(30000) == S_OK &&
            c->OpenCheck(u"1") == S_OK &&
            c->FiscalLineEx(u"Doomed", 1, 777, 0, 1, 0, 99, 0, u"", 0, &sum) == S_OK)
            status = 'k';
        if (write(ready[1], &status, 1) != 1)
            _exit(2);
        for (;;)
            pause();
    }
    close(go[0]);
    close(ready[1]);

    struct Receipt {
        int reg;
        int64_t total;
    };
    std::mutex m;
    std::vector<Receipt> closed;
    std::atomic<int> failures{0};
    const auto end = std::chrono::steady_clock::now() + kSelling;
    std::vector<std::thread> tills;
    for (int t = 0; t < kRegisters * kTillsPerRegister; ++t) {
        tills.emplace_back([&, t] {
            const int reg = t / kTillsPerRegister;
            Client c;
            if (c.Create() != S_OK ||
                c.Init(kPort + reg, u"Anna", u"0000000000",
                       u"till" + std::u16string(1, char16_t(u'0' + t))) != S_OK) {
                ADD_FAILURE() << "till " << t << " could not start";
                return;
            }
            for (int n = 0; std::chrono::steady_clock::now() < end; ++n) {
                if (c->LockPrinter(30000) != S_OK)
                    continue;
                // A total no other receipt of the run has.
                const LONG price = (t + 1) * 100000 + n * 10;
                LONG sum = 0, closing = 0;
                bool ok = c->OpenCheck(u"1") == S_OK;
                for (int line = 0; ok && line < 3; ++line)
                    ok = c->FiscalLineEx(u"Goods", 1, price + line, 0, 1, 0, 10 + line, 0, u"", 0,
                                         &sum) == S_OK;
                const LONG total = 3 * price + 3;
                // The closing answers S_OK whenever the object is bound: its figure says whether
                // the register closed (the amount due) or not (0 or -1).
                if (ok && c->CloseCheckEx(total, 0, 0, 0, &closing) == S_OK && closing > 0) {
                    EXPECT_EQ(closing, total);
                    std::lock_guard lock(m);
                    closed.push_back({reg, total});
                } else {
                    ++failures;
                    c->AbortCheck();  // whatever was left open, ours or a dead till's
                }
                c->UnlockPrinter();
            }
        });
    }

    // Faults while they sell: error words on the third line, the fourth register silent for
    // 5 s, and the doomed till killed with its receipt open on the first.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_EQ(write(go[1], "g", 1), 1);
    char status = 0;
    ASSERT_EQ(read(ready[0], &status, 1), 1);
    EXPECT_EQ(status, 'k') << "the doomed till could not open its receipt";
    kill(doomed, SIGKILL);
    waitpid(doomed, nullptr, 0);
    for (int i = 0; i < 4; ++i) {
        Register(2).Control("error SOFTBLOCK");
        std::this_thread::sleep_for(Ms(500));
    }
    Register(3).Control("silence on");
    std::this_thread::sleep_for(std::chrono::seconds(5));
    Register(3).Control("silence off");
    for (auto& till : tills)
        till.join();
    close(go[1]);
    close(ready[0]);

    for (int reg = 0; reg < kRegisters; ++reg) {
        std::vector<std::string> told;
        int64_t sum = 0;
        for (const Receipt& r : closed)
            if (r.reg == reg) {
                told.push_back(Money(r.total));
                sum += r.total;
            }
        EXPECT_GT(told.size(), 5u) << "register " << reg << " sold too little";
        auto state = Register(reg).State();
        EXPECT_EQ(state["receipt"], "closed") << "register " << reg;
        EXPECT_EQ(state["day_receipts"], std::to_string(told.size())) << "register " << reg;
        EXPECT_EQ(state["day_total"], std::to_string(sum)) << "register " << reg;
        std::vector<std::string> printed = TapeTotals(ReadAll(RegisterDir(reg) + "/tape.txt"));
        std::sort(told.begin(), told.end());
        std::sort(printed.begin(), printed.end());
        EXPECT_EQ(printed, told) << "register " << reg;
    }
    // The dead till's receipt was cancelled by a till of its port, never sold (the counts
    // above hold no receipt of its price).
    const std::string firstTape = ReadAll(m_dir + "/tape.txt");
    EXPECT_NE(firstTape.find("Doomed"), std::string::npos);
    EXPECT_NE(firstTape.find("RECEIPT CANCELLED"), std::string::npos);
    EXPECT_GT(failures.load(), 0);  // the faults did reach the tills
}

}  // namespace
}  // namespace vske2e
