#include "platform/posix_calls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace vsk {

int PosixCalls::Open(const char* path, int flags) {
    return ::open(path, flags);
}

int PosixCalls::Close(int fd) {
    return ::close(fd);
}

ssize_t PosixCalls::Read(int fd, void* buffer, size_t count) {
    return ::read(fd, buffer, count);
}

ssize_t PosixCalls::Write(int fd, const void* buffer, size_t count) {
    return ::write(fd, buffer, count);
}

int PosixCalls::Poll(pollfd* fds, nfds_t count, int timeoutMs) {
    return ::poll(fds, count, timeoutMs);
}

int PosixCalls::Ioctl(int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument);
}

int PosixCalls::TcGetAttr(int fd, termios* settings) {
    return ::tcgetattr(fd, settings);
}

int PosixCalls::TcSetAttr(int fd, int when, const termios* settings) {
    return ::tcsetattr(fd, when, settings);
}

int PosixCalls::TcFlush(int fd, int queue) {
    return ::tcflush(fd, queue);
}

int PosixCalls::Flock(int fd, int operation) {
    return ::flock(fd, operation);
}

PosixCalls& RealPosixCalls() {
    static PosixCalls calls;
    return calls;
}

}  // namespace vsk
