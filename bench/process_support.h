// What the benchmark programs that start their own server and registers share: starting a
// program quietly, and a private folder for the registry, runtime folder and settings, so that
// a server the user runs is neither used nor disturbed.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace vskbench {

// Standard input from /dev/null, standard output and error to `output`; the pid or -1.
inline pid_t Spawn(std::vector<std::string> args, const char* output = "/dev/null") {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
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
