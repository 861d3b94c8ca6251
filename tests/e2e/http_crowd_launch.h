// Starting vsk-http-crowd as another user, for the crowd test and the HTTP benchmark: the uid
// is taken between fork and exec (the starting process has threads, so nothing else runs
// there), and the program is opened before, so that the user need not reach the build folder.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace vske2e {

// The child's pid (its standard output in *out), or -1.
inline pid_t LaunchCrowd(const char* program, std::vector<std::string> args, uid_t uid, int* out) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int file = open(program, O_RDONLY | O_CLOEXEC);
    int fds[2];
    if (file < 0 || pipe2(fds, O_CLOEXEC) != 0) {
        if (file >= 0)
            close(file);
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
            _exit(98);
        fexecve(file, argv.data(), environ);
        _exit(99);
    }
    close(fds[1]);
    close(file);
    *out = fds[0];
    return pid;
}

}  // namespace vske2e
