// The children tests start end with them: killed by the kernel when the test dies without a
// word, and stopped within a bound when they ignore SIGTERM.
#include <gtest/gtest.h>

#include <signal.h>

#include "tests/child_process.h"

namespace {

using namespace std::chrono_literals;

TEST(ChildProcess, AChildDiesWithTheProcessThatStartedIt) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    // The "test": starts a long program and dies at once, as a crashed test would.
    const pid_t test = fork();
    ASSERT_GE(test, 0);
    if (test == 0) {
        const pid_t child = vsktest::SpawnWithFds({"/bin/sleep", "60"}, {-1, -1, -1});
        (void)!write(report[1], &child, sizeof child);
        _exit(child > 0 ? 0 : 1);
    }
    close(report[1]);
    pid_t child = -1;
    ASSERT_EQ(read(report[0], &child, sizeof child), ssize_t(sizeof child));
    close(report[0]);
    ASSERT_GT(child, 0);
    ASSERT_EQ(vsktest::ExitCode(vsktest::WaitChild(test, 10s)), 0);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (vsktest::Running(child) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(vsktest::Running(child)) << "the orphan outlived its parent";
}

TEST(ChildProcess, WaitsAreBoundedAndEveryChildIsReaped) {
    // A program that ignores SIGTERM is killed once the grace is over.
    const pid_t stubborn = vsktest::SpawnWithFds(
        {"/bin/sh", "-c", "trap '' TERM; while :; do sleep 0.05; done"}, {-1, -1, -1});
    ASSERT_GT(stubborn, 0);
    std::this_thread::sleep_for(100ms);  // the trap is set
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(vsktest::StopChild(stubborn, 300ms).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_LT(waitpid(stubborn, nullptr, WNOHANG), 0) << "reaped already";

    // One that ends answers its own status; one that cannot be run is no child at all.
    EXPECT_EQ(vsktest::ExitCode(vsktest::WaitChild(
                  vsktest::SpawnWithFds({"/bin/sh", "-c", "exit 3"}, {-1, -1, -1}), 10s)),
              3);
    EXPECT_EQ(vsktest::SpawnWithFds({"/nonexistent/program"}, {-1, -1, -1}), -1);
    EXPECT_EQ(vsktest::ExitCode(std::nullopt), -1);
}

}  // namespace
