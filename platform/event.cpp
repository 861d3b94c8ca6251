#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

namespace vsk {

void ManualResetEvent::Set() {
    {
        std::lock_guard lock(m_mutex);
        m_signalled = true;
    }
    m_cv.notify_all();
}

void ManualResetEvent::Reset() {
    std::lock_guard lock(m_mutex);
    m_signalled = false;
}

bool ManualResetEvent::IsSet() const {
    std::lock_guard lock(m_mutex);
    return m_signalled;
}

bool ManualResetEvent::Wait(uint32_t timeoutMs) const {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [this] { return m_signalled; });
}

PollableEvent::PollableEvent() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_fd < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

PollableEvent::~PollableEvent() {
    close(m_fd);
}

void PollableEvent::Set() {
    const uint64_t one = 1;
    // EAGAIN means the counter is already near its maximum: the event is signalled anyway.
    while (write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void PollableEvent::Reset() {
    // Without EFD_SEMAPHORE one read takes the whole counter; EAGAIN means it was already zero.
    uint64_t count;
    while (read(m_fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

bool PollableEvent::IsSet() const {
    pollfd p{m_fd, POLLIN, 0};
    int rc;
    while ((rc = poll(&p, 1, 0)) < 0 && errno == EINTR) {
    }
    return rc > 0 && (p.revents & POLLIN);
}

}  // namespace vsk
