// The system calls of the serial port with scripted failures: real calls, except where a test
// asks for EINTR, EAGAIN, EIO, partial writes, a stalled or failing driver or line-error
// counters.
// Safe to share with the reader thread.
#pragma once

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>

#include "platform/posix_calls.h"

namespace vsk::test {

class FlakyPosixCalls : public PosixCalls {
public:
    // errno for the next calls, in turn; 0 lets that call through.
    std::deque<int> writeErrors;
    std::deque<int> readErrors;
    std::deque<int> writeWaitErrors;  // for the waits for room to write
    std::deque<int> waitErrors;       // for the waits for input or the stop descriptor
    // Waits for input beyond this many time out at once, so that a loop that would never end
    // shows as a time-out.
    int maxWaits = 1000;
    size_t maxWriteChunk = SIZE_MAX;
    bool driverStalled = false;  // a wait for room to write times out
    // TIOCGICOUNT answers in turn, the last one repeating; empty: the real driver answers.
    std::deque<serial_icounter_struct> counters;
    termios applied{};  // the last settings handed to the driver

    std::atomic<int> writeCalls{0};
    std::atomic<int> writeWaits{0};
    std::atomic<int> polls{0};
    std::atomic<int> waits{0};

    ssize_t Write(int fd, const void* buffer, size_t count) override {
        ++writeCalls;
        if (Fail(writeErrors)) {
            return -1;
        }
        return PosixCalls::Write(fd, buffer, std::min(count, maxWriteChunk));
    }
    ssize_t Read(int fd, void* buffer, size_t count) override {
        if (Fail(readErrors)) {
            return -1;
        }
        return PosixCalls::Read(fd, buffer, count);
    }
    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override {
        ++polls;
        if (count == 1 && fds[0].events == POLLOUT) {
            ++writeWaits;
            if (Fail(writeWaitErrors)) {
                return -1;
            }
            fds[0].revents = driverStalled ? 0 : POLLOUT;
            return driverStalled ? 0 : 1;
        }
        if (count == 2) {
            if (++waits > maxWaits) {
                errno = 0;
                return 0;
            }
            if (Fail(waitErrors)) {
                return -1;
            }
        }
        return PosixCalls::Poll(fds, count, timeoutMs);
    }
    int Ioctl(int fd, unsigned long request, void* argument) override {
        {
            std::lock_guard lock(m_mutex);
            if (request == TIOCGICOUNT && !counters.empty()) {
                *static_cast<serial_icounter_struct*>(argument) = counters.front();
                if (counters.size() > 1) {
                    counters.pop_front();
                }
                return 0;
            }
        }
        return PosixCalls::Ioctl(fd, request, argument);
    }
    int TcSetAttr(int fd, int when, const termios* settings) override {
        applied = *settings;
        return PosixCalls::TcSetAttr(fd, when, settings);
    }
    void SetCounters(std::initializer_list<serial_icounter_struct> answers) {
        std::lock_guard lock(m_mutex);
        counters = answers;
    }
    size_t PendingReadErrors() {
        std::lock_guard lock(m_mutex);
        return readErrors.size();
    }

private:
    bool Fail(std::deque<int>& errors) {
        std::lock_guard lock(m_mutex);
        if (errors.empty()) {
            return false;
        }
        const int error = errors.front();
        errors.pop_front();
        errno = error;
        return error != 0;
    }

    std::mutex m_mutex;
};

}  // namespace vsk::test
