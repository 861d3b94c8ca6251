// One server per user for the multiple-use Veskar class: an flock on
// <runtime folder>/vskmanager.lock, held for the life of the process (the kernel lets go of it
// when the process dies, however it dies). The file says who holds it: the pid on the first
// line, the socket on the second.
//
// A server started for one object of a single-use class (started with --no-instance-lock)
// takes no lock: such a class starts a server process per object by design, and that server
// must not serve the multiple-use class.
#pragma once

#include <sys/types.h>
#include <string>

namespace vsk {

class CInstanceLock {
public:
    CInstanceLock() = default;
    ~CInstanceLock();
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

    // false when another process holds it (*holder says which) or the file cannot be had
    // (*error says why; *holder stays empty).
    bool Acquire(const std::string& runtimeDir, std::string* holder, std::string* error);
    // Writes the holder's description once the socket is known.
    void Describe(const std::string& socketPath);
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

std::string InstanceLockPath(const std::string& runtimeDir);

// Takes the lock for a server about to start; when another server holds it, says
// "already running (pid N, socket …)" on stderr and returns false.
bool TakeInstanceLock(CInstanceLock& lock, const std::string& runtimeDir);

}  // namespace vsk
