#include "server/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/log.h"
#include "rpc/runtime_paths.h"

namespace vsk {

std::string InstanceLockPath(const std::string& runtimeDir) {
    return runtimeDir + "/vskmanager.lock";
}

CInstanceLock::~CInstanceLock() {
    if (m_fd >= 0)
        close(m_fd);  // the file stays: removing it would race with the next server's flock
}

bool CInstanceLock::Acquire(const std::string& runtimeDir, std::string* holder,
                            std::string* error) {
    if (!EnsurePrivateDir(runtimeDir, error))
        return false;
    const std::string path = InstanceLockPath(runtimeDir);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int why = errno;
        close(fd);
        if (why != EWOULDBLOCK) {
            *error = "cannot lock " + path + ": " + std::strerror(why);
            return false;
        }
        std::string text = ReadSmallFile(path);
        size_t nl = text.find('\n');
        std::string pid = text.substr(0, nl);
        std::string socket = nl == std::string::npos ? "" : text.substr(nl + 1);
        socket = socket.substr(0, socket.find('\n'));
        *holder = "pid " + (pid.empty() ? std::string("unknown") : pid);
        if (!socket.empty())
            *holder += ", socket " + socket;
        return false;
    }
    m_fd = fd;
    Describe("");
    return true;
}

bool TakeInstanceLock(CInstanceLock& lock, const std::string& runtimeDir) {
    std::string holder, error;
    if (lock.Acquire(runtimeDir, &holder, &error))
        return true;
    if (!holder.empty())
        LogLine(LogPriority::Error, "vskmanager is already running (" + holder + ")");
    else
        LogLine(LogPriority::Error, error);
    return false;
}

void CInstanceLock::Describe(const std::string& socketPath) {
    if (m_fd < 0)
        return;
    std::string text = std::to_string(getpid()) + "\n" + socketPath + "\n";
    if (ftruncate(m_fd, 0) == 0)
        (void)!pwrite(m_fd, text.data(), text.size(), 0);
}

}  // namespace vsk
