// What the benchmark programs that start their own server and registers share: starting a
// program quietly, and a private folder for the registry, runtime folder and settings, so that
// a server the user runs is neither used nor disturbed.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/child_process.h"

namespace vskbench {

// Standard input from /dev/null, standard output and error to `output`; the pid or -1. The
// program dies with this thread, so a benchmark that fails or is interrupted leaves none behind.
inline pid_t Spawn(std::vector<std::string> args, const char* output = "/dev/null") {
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid =
        in >= 0 && out >= 0 ? vsktest::SpawnWithFds(std::move(args), {in, out, out}) : -1;
    for (int fd : {in, out})
        if (fd >= 0)
            close(fd);
    return pid;
}

// SIGTERM, a bounded wait for a clean end, then SIGKILL; always reaped.
inline void Stop(pid_t pid) {
    vsktest::StopChild(pid);
}

// Makes /tmp/<prefix>-XXXXXX with a private run/ folder and points the environment at it; the
// folder, or "" when it cannot be made.
inline std::string PrivateEnvironment(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (!mkdtemp(pattern.data()))
        return {};
    const std::string& dir = pattern;
    mkdir((dir + "/run").c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    setenv("VSK_REGISTRY_DIR", (dir + "/registry").c_str(), 1);
    setenv("ProgramData", (dir + "/programdata").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    return dir;
}

}  // namespace vskbench
