// The operating-system calls of the serial port, behind one seam so tests can make them fail
// (EINTR, partial writes, EAGAIN, EIO) without hardware. The defaults call the system directly;
// a test derives from PosixCalls and overrides only the calls it wants to disturb.
// Threading rule: the real implementation is stateless and may be shared by every thread.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>

namespace vsk {

class PosixCalls {
public:
    virtual ~PosixCalls() = default;

    virtual int Open(const char* path, int flags);
    virtual int Close(int fd);
    virtual ssize_t Read(int fd, void* buffer, size_t count);
    virtual ssize_t Write(int fd, const void* buffer, size_t count);
    virtual int Poll(pollfd* fds, nfds_t count, int timeoutMs);
    virtual int Ioctl(int fd, unsigned long request, void* argument);
    virtual int TcGetAttr(int fd, termios* settings);
    virtual int TcSetAttr(int fd, int when, const termios* settings);
    virtual int TcFlush(int fd, int queue);
    virtual int Flock(int fd, int operation);
};

// The shared instance that calls the system.
PosixCalls& RealPosixCalls();

}  // namespace vsk
