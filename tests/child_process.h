// Programs that tests and benchmarks start end with them. Each child is armed to be killed by
// the kernel the moment the thread that started it ends, so a crash, an ASSERT that returns
// early or a timeout that kills the test leaves no server or register behind; and stopping one
// is bounded: SIGTERM, a wait, then SIGKILL, and always reaped.
//
// The kernel's signal follows the starting *thread*: start children from the thread that lives
// as long as they should (a test's own thread), never from a short-lived worker.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vsktest {

// In a child just forked from `parent`: SIGKILL when the parent goes. A parent already gone
// before the signal was armed is caught by asking who the parent is now; the child ends at once.
// Only async-signal-safe calls: safe in the child of a threaded process.
inline void DieWithParent(pid_t parent) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
        _exit(127);
}

// Starts `args` with descriptors 0, 1 and 2 taken from `fds` (-1 keeps this process's); the
// child dies with this thread. The process id, or -1 (also when the program could not be run).
inline pid_t SpawnWithFds(std::vector<std::string> args, std::array<int, 3> fds) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int failed[2];  // the child's errno when exec fails; closed by a successful exec
    if (pipe2(failed, O_CLOEXEC) != 0)
        return -1;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        DieWithParent(parent);
        for (int target = 0; target < 3; ++target) {
            const int from = fds[size_t(target)];
            if (from == target)
                fcntl(target, F_SETFD, 0);  // dup2 onto itself would keep close-on-exec
            else if (from >= 0 && dup2(from, target) < 0)
                _exit(127);
        }
        execv(argv[0], argv.data());
        const int error = errno;
        (void)!write(failed[1], &error, sizeof error);
        _exit(127);
    }
    close(failed[1]);
    int error = 0;
    ssize_t n;
    while ((n = read(failed[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    close(failed[0]);
    if (pid > 0 && n != 0) {
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid < 0 ? -1 : pid;
}

// Waits up to `limit` for the child to end by itself: its wait status, or nullopt when it had to
// be killed (it is killed and reaped then, never left behind).
inline std::optional<int> WaitChild(pid_t pid, std::chrono::milliseconds limit) {
    if (pid <= 0)
        return std::nullopt;
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (auto pause = std::chrono::milliseconds(1);;
         pause = std::min(pause * 2, decltype(pause)(50))) {
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return status;
        if (got < 0)
            return std::nullopt;  // not ours, or reaped already
        if (std::chrono::steady_clock::now() >= end)
            break;
        std::this_thread::sleep_for(pause);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return std::nullopt;
}

// SIGTERM, then `grace` to end cleanly (a sanitizer build's exit checks take a while); the wait
// status when it ended so, nullopt when it had to be killed.
inline std::optional<int> StopChild(pid_t pid,
                                    std::chrono::milliseconds grace = std::chrono::seconds(20)) {
    if (pid <= 0)
        return std::nullopt;
    kill(pid, SIGTERM);
    return WaitChild(pid, grace);
}

// Whether `pid` runs (a zombie does not: a child of another, or one not yet reaped).
inline bool Running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return false;
    const size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] != 'Z';
}

// The exit status of a wait status that WaitChild or StopChild gave; -1 for a child that was
// killed or ended by a signal.
inline int ExitCode(std::optional<int> status) {
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

}  // namespace vsktest
