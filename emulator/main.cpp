// vsk-emulator: a software fiscal register on a pseudo-terminal.
//
// Prints the slave device path as its first line of standard output, then serves the server's
// frames until SIGINT or SIGTERM. Control commands (fault switches, "state") come from standard
// input and from the --control socket, one per line; their answers go to standard error for
// standard input and back over the socket otherwise.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "emulator/pty_register.h"
#include "emulator/register.h"
#include "platform/command_line.h"

namespace {

// Tape and status lines leave through one writer thread, so that a reader who never drains our
// standard output (or standard error) can stall that thread but never the register's line.
class OutputQueue {
public:
    explicit OutputQueue(std::ostream& tape) : m_tape(tape) {
        std::thread([this] { Run(); }).detach();
    }
    void Push(bool status, std::string line) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.emplace_back(status, std::move(line));
        m_cv.notify_all();
    }
    // Waits (bounded) until everything queued is written.
    void Drain(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, limit, [this] { return m_lines.empty() && !m_writing; });
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_cv.wait(lock, [this] { return !m_lines.empty(); });
            std::deque<std::pair<bool, std::string>> batch;
            batch.swap(m_lines);
            m_writing = true;
            lock.unlock();
            for (const auto& [status, line] : batch) {
                if (status) {
                    std::cerr << "[status] " << line << '\n';
                } else {
                    m_tape << line << '\n';
                }
            }
            m_tape.flush();
            std::cerr.flush();
            lock.lock();
            m_writing = false;
            m_cv.notify_all();
        }
    }
    std::ostream& m_tape;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::pair<bool, std::string>> m_lines;
    bool m_writing = false;
};

// "N:KIND:RATE" or "N:-"
bool SetTax(vsk::emu::Model& model, const std::string& spec) {
    int index = 0, rate = 0;
    char kind = 0;
    if (std::sscanf(spec.c_str(), "%d:-", &index) == 1 && spec.size() >= 2 &&
        spec.substr(spec.size() - 2) == ":-" && index >= 1 && index <= 8) {
        model.taxes[index - 1] = {};
        return true;
    }
    if (std::sscanf(spec.c_str(), "%d:%c:%d", &index, &kind, &rate) != 3 || index < 1 ||
        index > 8 || kind < '0' || kind > '2' || rate < 0 || rate > 9999) {
        return false;
    }
    model.taxes[index - 1] = {true, "20150101", kind, rate};
    return true;
}

constexpr vsk::cli::Option kOptions[] = {
    {"model", 0, "NAME", "register preset (--list-models)"},
    {"list-models", 0, nullptr, "print the presets and exit"},
    {"link", 0, "PATH", "symlink PATH to the slave device"},
    {"control", 0, "PATH", "control socket (Unix stream, one command per line)"},
    {"tape", 0, "FILE", "append the printed tape to FILE (default stdout)"},
    {"password", 0, "TEXT", "cashier password (10 characters, default 0000000000)"},
    {"article-mode", 0, "N", "article mode at start (2: long article numbers)"},
    {"cash", 0, "KOPECKS", "cash in the drawer at start"},
    {"tax", 0, "N:KIND:RATE",
     "set tax N (1-8): kind 0 included, 1 on top, 2 withheld, rate in hundredths of a "
     "percent (2000 = 20 %); N:- unsets"},
    {"only-baud", 0, "N", "ignore bytes while the line is at another speed"},
    {"silent", 0, nullptr, "answer nothing"},
    {"error", 0, "WORD[:CMD]", "answer WORD to the next command (or to every CMD)"},
    {"paper", 0, "ok|low|out", "paper state"},
    {"noise", 0, nullptr, "garble some frames"},
    {"split", 0, nullptr, "send replies in pieces"},
    {"pace", 0, nullptr, "send at the real speed of the line"},
    {"delay", 0, "MS", "pause before every reply"},
    {"swallow", 0, "CMD[:MS]",
     "carry out the next command CMD but never answer it (or answer it MS late)"},
    {"no-stdin", 0, nullptr, "do not read control commands from standard input"},
};

constexpr vsk::cli::Program kProgram{"vsk-emulator", "[options]", kOptions};

}  // namespace

int main(int argc, char** argv) {
    using namespace vsk::emu;
    const Model* model = &DefaultModel();
    RegisterOptions options;
    LineFaults faults;
    std::string link, control, tapePath, error, paper;
    std::vector<std::string> errors, taxes;
    bool readStdin = true;

    const vsk::cli::Parsed parsed =
        vsk::cli::Parse(kProgram, std::vector<std::string>(argv + 1, argv + argc));
    if (int status = vsk::cli::Finish(kProgram, parsed); status >= 0)
        return status;
    if (!parsed.operands.empty()) {
        std::fprintf(stderr, "vsk-emulator: unexpected argument %s\n%s", parsed.operands[0].c_str(),
                     vsk::cli::Usage(kProgram).c_str());
        return vsk::cli::kExitUsage;
    }
    for (const auto& [a, value] : parsed.options) {
        if (a == "model") {
            model = FindModel(value);
            if (model == nullptr) {
                std::fprintf(stderr, "vsk-emulator: unknown model %s (see --list-models)\n",
                             value.c_str());
                return 2;
            }
        } else if (a == "list-models") {
            for (const Model& m : Models()) {
                std::printf("%-6s %s\n", m.name.c_str(), m.description.c_str());
            }
            return 0;
        } else if (a == "link") {
            link = value;
        } else if (a == "control") {
            control = value;
        } else if (a == "tape") {
            tapePath = value;
        } else if (a == "password") {
            options.password = value;
        } else if (a == "article-mode") {
            options.articleMode = std::atoi(value.c_str());
        } else if (a == "tax") {
            taxes.push_back(value);
        } else if (a == "cash") {
            options.cash = std::atoll(value.c_str());
        } else if (a == "only-baud") {
            faults.onlyBaud = std::atoi(value.c_str());
        } else if (a == "silent") {
            faults.silent = true;
        } else if (a == "error") {
            errors.push_back(value);
        } else if (a == "paper") {
            paper = value;
        } else if (a == "noise") {
            faults.noise = true;
        } else if (a == "split") {
            faults.split = true;
        } else if (a == "pace") {
            faults.pace = true;
        } else if (a == "delay") {
            faults.delayMs = std::atoi(value.c_str());
        } else if (a == "swallow") {
            const size_t colon = value.find(':');
            faults.swallow = value.substr(0, colon);
            faults.swallowLateMs =
                colon == std::string::npos ? 0 : std::atoi(value.c_str() + colon + 1);
            if (faults.swallow.size() != 4 || faults.swallowLateMs < 0) {
                std::fprintf(stderr, "vsk-emulator: --swallow takes CMD or CMD:MS (got %s)\n",
                             value.c_str());
                return 2;
            }
        } else if (a == "no-stdin") {
            readStdin = false;
        }
    }

    std::unique_ptr<std::ofstream> tapeFile;
    if (!tapePath.empty() && tapePath != "-") {
        tapeFile = std::make_unique<std::ofstream>(tapePath, std::ios::app);
        if (!*tapeFile) {
            std::fprintf(stderr, "vsk-emulator: cannot open %s\n", tapePath.c_str());
            return 1;
        }
    }
    std::ostream& tape = tapeFile ? static_cast<std::ostream&>(*tapeFile) : std::cout;
    // Never destroyed: its detached writer may outlive main's scope until _Exit.
    OutputQueue* output = new OutputQueue(tape);
    options.onTape = [output](const std::string& line) { output->Push(false, line); };
    options.onStatus = [output](const std::string& line) { output->Push(true, line); };

    Model configured = *model;
    for (const std::string& t : taxes) {
        if (!SetTax(configured, t)) {
            std::fprintf(stderr, "vsk-emulator: --tax takes N:KIND:RATE or N:- (got %s)\n",
                         t.c_str());
            return 2;
        }
    }
    Register reg(configured, options);
    for (const std::string& e : errors) {
        size_t colon = e.find(':');
        if (colon == std::string::npos) {
            reg.SetNextError(e);
        } else {
            reg.SetCommandError(e.substr(colon + 1), e.substr(0, colon));
        }
    }
    if (!paper.empty() && reg.Control("paper " + paper) != "OK") {
        std::fprintf(stderr, "vsk-emulator: --paper takes ok, low or out\n");
        return 2;
    }

    PtyRegister pty(reg, faults);
    if (!pty.Open(error) || (!control.empty() && !pty.ListenControl(control, error))) {
        std::fprintf(stderr, "vsk-emulator: %s\n", error.c_str());
        return 1;
    }
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(pty.SlavePath().c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "vsk-emulator: cannot link %s: %s\n", link.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }

    // Signals are taken synchronously by the main thread; block them before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::cout << pty.SlavePath() << std::endl;
    std::fprintf(stderr, "vsk-emulator: model %s (family %d, level %d) on %s\n",
                 model->name.c_str(), model->family, model->level, pty.SlavePath().c_str());
    if (!pty.Start(error)) {
        std::fprintf(stderr, "vsk-emulator: %s\n", error.c_str());
        return 1;
    }

    if (readStdin) {
        // Detached: a blocking read of standard input cannot be woken; the process ends under it.
        std::thread([&pty] {
            std::string line;
            while (std::getline(std::cin, line)) {
                if (line.empty())
                    continue;
                std::cerr << pty.Control(line) << std::endl;
            }
        }).detach();
    }

    int signal = 0;
    sigwait(&stopSignals, &signal);
    pty.Stop();
    if (!link.empty())
        unlink(link.c_str());
    output->Drain(std::chrono::seconds(1));
    std::cout.flush();
    std::_Exit(0);
}
