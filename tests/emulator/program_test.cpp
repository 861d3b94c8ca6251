// The vsk-emulator program as the end-to-end tests and the demo start it: the slave path on the
// first line, the link, the tape file, control commands on standard input, a clean stop.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "link/frame.h"
#include "tests/child_process.h"

namespace {

// Reads one line from fd, waiting at most timeoutMs for it.
std::string ReadLine(int fd, int timeoutMs = 3000) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        char c;
        if (read(fd, &c, 1) != 1)
            break;
        if (c == '\n')
            return line;
        line += c;
    }
    return line;
}

struct Emulator {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;

    bool Start(const std::vector<std::string>& args) {
        int pin[2], pout[2], perr[2];
        if (pipe(pin) != 0 || pipe(pout) != 0 || pipe(perr) != 0)
            return false;
        std::vector<std::string> argv = {VSK_EMULATOR_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        pid = vsktest::SpawnWithFds(std::move(argv), {pin[0], pout[1], perr[1]});
        close(pin[0]);
        close(pout[1]);
        close(perr[1]);
        in = pin[1];
        out = pout[0];
        err = perr[0];
        return pid > 0;
    }
    int Stop() {
        int status = -1;
        if (pid > 0) {
            status = vsktest::StopChild(pid, std::chrono::seconds(10)).value_or(-1);
            pid = -1;
        }
        for (int* fd : {&in, &out, &err}) {
            if (*fd >= 0)
                close(*fd);
            *fd = -1;
        }
        return status;
    }
    ~Emulator() { Stop(); }
};

std::vector<std::string> Exchange(int fd, std::string_view command, size_t count) {
    struct Sink : vsk::FrameDecoder::Sink {
        std::vector<std::string> messages;
        void OnMessage(const vsk::PrinterMessage& m) override { messages.emplace_back(m.Text()); }
    } sink;
    std::vector<uint8_t> frame;
    if (command == "\x55") {
        frame = {0x55};
    } else {
        EXPECT_TRUE(vsk::EncodeFrame(command, frame));
    }
    EXPECT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    vsk::FrameDecoder decoder;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (sink.messages.size() < count && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        uint8_t buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            decoder.Feed(buf, static_cast<size_t>(n), sink);
    }
    return sink.messages;
}

TEST(EmulatorProgram, RunsOnItsLinkPrintsTheTapeAndStopsCleanly) {
    char dir[] = "/tmp/vsk-emu-prog-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/com1";
    const std::string tape = std::string(dir) + "/tape.txt";

    Emulator emu;
    ASSERT_TRUE(emu.Start({"--model", "f0-1", "--link", link, "--tape", tape, "--tax", "1:1:2000",
                           "--tax", "2:-", "--swallow", "NULL"}));
    const std::string slave = ReadLine(emu.out);
    ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(slave, target);

    int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    EXPECT_EQ(Exchange(fd, "\x55", 1), std::vector<std::string>{"READY"});
    // printed (the tape and last_receipt below show it) but never answered
    EXPECT_TRUE(Exchange(fd, "NULL", 1).empty());
    // the tax table as configured: А 20 % on top of the price, Б not set
    std::vector<std::string> cnal = Exchange(fd, "CNAL", 2);
    ASSERT_EQ(cnal.size(), 2u);
    EXPECT_EQ(cnal[0].substr(4, 28), "2015010101200000000000000000");
    close(fd);

    // control commands on standard input, answers on standard error
    const std::string command = "state\n";
    ASSERT_EQ(write(emu.in, command.data(), command.size()), static_cast<ssize_t>(command.size()));
    std::string state;
    for (int i = 0; i < 5 && state.rfind("STATE", 0) != 0; ++i)
        state = ReadLine(emu.err);
    EXPECT_NE(state.find("model=f0-1"), std::string::npos) << state;
    EXPECT_NE(state.find("last_receipt=1"), std::string::npos) << state;

    int status = emu.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0);  // the link went with the emulator
    std::ifstream file(tape);
    std::stringstream printed;
    printed << file.rdbuf();
    EXPECT_NE(printed.str().find("NULL RECEIPT"), std::string::npos) << printed.str();
    unlink(tape.c_str());
    rmdir(dir);
}

TEST(EmulatorProgram, RefusesUnknownModelsAndOptions) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--model", "f9-9"}, std::vector<std::string>{"--bogus"},
          std::vector<std::string>{"--swallow", "COMPX:100"}}) {
        Emulator emu;
        ASSERT_TRUE(emu.Start(args));
        int status = -1;
        waitpid(emu.pid, &status, 0);
        emu.pid = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args[0];
    }
}

}  // namespace
