#include "platform/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <cctype>
#include <cerrno>
#include <system_error>
#include <variant>

#include "platform/registry.h"

namespace vsk {

namespace {

constexpr const char* kPortsKey = "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports";

// Pseudo-terminals and some adapters lack modem lines and counters; that is not a failure.
bool NotSupported(int error) {
    return error == ENOTTY || error == EINVAL;
}

// The n of "COMn", or 0 when the name has another shape.
unsigned ComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 12) {
        return 0;
    }
    for (size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) {
            return 0;
        }
    }
    unsigned long n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return 0;
        }
        n = n * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return n > 0 && n <= 1000000 ? static_cast<unsigned>(n) : 0;
}

struct BaudRow {
    uint32_t baud;
    speed_t speed;
};

constexpr BaudRow kBaudRates[] = {
    {110, B110},         {300, B300},         {600, B600},         {1200, B1200},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},
    {38400, B38400},     {57600, B57600},     {115200, B115200},   {230400, B230400},
    {460800, B460800},   {500000, B500000},   {921600, B921600},   {1000000, B1000000},
    {1500000, B1500000}, {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
};

// The register's line: 8 data bits, even parity checked on input, 2 stop bits, raw bytes both
// ways, modem status ignored, no hardware or software flow control.
void ApplyLineSettings(termios& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | IUCLC | IMAXBEL);
    t.c_iflag |= INPCK;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARODD | CMSPAR | CRTSCTS);
    t.c_cflag |= CS8 | PARENB | CSTOPB | CLOCAL | CREAD;
    // VMIN 1: with O_NONBLOCK an empty read then fails with EAGAIN instead of returning 0,
    // which keeps 0 free to mean end of file (hang-up).
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

}  // namespace

SerialPort::SerialPort(PosixCalls& calls) : m_calls(calls) {}

SerialPort::~SerialPort() {
    Close();
}

std::string SerialPort::ResolvePortName(const std::string& name) {
    const unsigned n = ComNumber(name);
    if (n == 0) {
        return name;
    }
    const std::string valueName = "COM" + std::to_string(n);
    const auto value = RegistryStore().GetValue(Hive::CurrentUser, kPortsKey, valueName);
    if (value) {
        if (const auto* path = std::get_if<std::string>(&*value); path && !path->empty()) {
            return *path;
        }
    }
    return "/dev/ttyS" + std::to_string(n - 1);
}

speed_t SerialPort::SpeedConstant(uint32_t baud) {
    for (const auto& row : kBaudRates) {
        if (row.baud == baud) {
            return row.speed;
        }
    }
    return 0;
}

bool SerialPort::Fail(int error) {
    m_lastErrno.store(error, std::memory_order_relaxed);
    return false;
}

std::string SerialPort::LastError() const {
    return std::error_code(LastErrno(), std::generic_category()).message();
}

bool SerialPort::Open(const std::string& name, uint32_t baud) {
    if (IsOpen()) {
        return Fail(EBUSY);
    }
    const std::string path = ResolvePortName(name);
    const int fd = m_calls.Open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Fail(errno);
    }
    // The lock keeps out every other open, this very process included, which TIOCEXCL lets
    // through; TIOCEXCL also keeps out programs that do not lock (privileged ones excepted). The
    // lock comes first so a port in use is never touched.
    if (m_calls.Flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        m_calls.Close(fd);
        return Fail(error);
    }
    if (m_calls.Ioctl(fd, TIOCEXCL, nullptr) != 0 && !NotSupported(errno)) {
        const int error = errno;
        m_calls.Close(fd);
        return Fail(error);
    }
    termios settings{};
    if (m_calls.TcGetAttr(fd, &settings) != 0) {
        const int error = errno;  // ENOTTY: a file or other device, not a serial line
        m_calls.Ioctl(fd, TIOCNXCL, nullptr);
        m_calls.Close(fd);
        return Fail(error);
    }
    m_fd = fd;
    m_path = path;
    m_lastErrno.store(0, std::memory_order_relaxed);

    ApplyLineSettings(settings);
    if (const speed_t speed = SpeedConstant(baud); speed != 0) {
        cfsetspeed(&settings, speed);
    } else {
        Fail(EINVAL);
    }
    // A driver that refuses part of the settings still gets its chance: the exchange that
    // follows tells whether the line works.
    if (m_calls.TcSetAttr(fd, TCSANOW, &settings) != 0) {
        Fail(errno);
    }
    ModemLines(true, TIOCM_DTR | TIOCM_RTS);
    Purge();
    m_countersAvailable = true;  // until the driver says otherwise
    m_countersAvailable = ReadCounters(m_counters);
    return true;
}

void SerialPort::Close() {
    if (!IsOpen()) {
        return;
    }
    // The exclusive flag lives on the terminal, not on this descriptor: clear it so the next
    // open succeeds even while someone else still holds the terminal.
    m_calls.Ioctl(m_fd, TIOCNXCL, nullptr);
    m_calls.Close(m_fd);  // also releases the lock
    m_fd = -1;
    m_countersAvailable = false;
    m_counters = {};
}

bool SerialPort::SetBaudRate(uint32_t baud) {
    if (!IsOpen()) {
        return Fail(EBADF);
    }
    const speed_t speed = SpeedConstant(baud);
    if (speed == 0) {
        return Fail(EINVAL);
    }
    termios settings{};
    if (m_calls.TcGetAttr(m_fd, &settings) != 0) {
        return Fail(errno);
    }
    cfsetspeed(&settings, speed);
    if (m_calls.TcSetAttr(m_fd, TCSANOW, &settings) != 0) {
        return Fail(errno);
    }
    return true;
}

bool SerialPort::ModemLines(bool raise, int lines) {
    if (m_calls.Ioctl(m_fd, raise ? TIOCMBIS : TIOCMBIC, &lines) != 0 && !NotSupported(errno)) {
        return Fail(errno);
    }
    return true;
}

bool SerialPort::SetDtr(bool on) {
    if (!IsOpen()) {
        return Fail(EBADF);
    }
    return ModemLines(on, TIOCM_DTR);
}

bool SerialPort::Purge() {
    if (!IsOpen()) {
        return Fail(EBADF);
    }
    if (m_calls.TcFlush(m_fd, TCIOFLUSH) != 0 && !NotSupported(errno)) {
        return Fail(errno);
    }
    return true;
}

bool SerialPort::Write(const uint8_t* bytes, size_t count) {
    if (!IsOpen()) {
        return Fail(EBADF);
    }
    size_t done = 0;
    while (done < count) {
        const ssize_t n = m_calls.Write(m_fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return Fail(errno);
        }
        // The driver's queue is full (or it took nothing): wait until it drains a little.
        pollfd pfd{m_fd, POLLOUT, 0};
        int ready;
        do {
            ready = m_calls.Poll(&pfd, 1, kWriteStallMs);
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) {
            return Fail(errno);
        }
        if (ready == 0) {
            return Fail(ETIMEDOUT);
        }
        if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (pfd.revents & POLLOUT) == 0) {
            return Fail(EIO);
        }
    }
    return true;
}

long SerialPort::Read(uint8_t* buffer, size_t count) {
    if (!IsOpen()) {
        Fail(EBADF);
        return -1;
    }
    for (;;) {
        const ssize_t n = m_calls.Read(m_fd, buffer, count);
        if (n > 0) {
            return static_cast<long>(n);
        }
        if (n == 0) {  // end of file on a terminal: the line hung up
            Fail(EIO);
            return -1;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        Fail(errno);
        return -1;
    }
}

SerialPort::WaitResult SerialPort::Wait(int stopFd, int timeoutMs, bool watchPort) {
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {watchPort ? m_fd : -1, POLLIN, 0}};
    int ready;
    do {
        ready = m_calls.Poll(fds, 2, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        Fail(errno);
        return WaitResult::Failed;
    }
    if (ready == 0) {
        return WaitResult::Timeout;
    }
    if ((fds[0].revents & POLLIN) != 0) {
        return WaitResult::Stopped;
    }
    if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return WaitResult::Hangup;
    }
    if ((fds[1].revents & POLLIN) != 0) {
        return WaitResult::Readable;
    }
    return WaitResult::Timeout;
}

bool SerialPort::ReadCounters(Counters& counters) {
    if (!IsOpen() || !m_countersAvailable) {
        return false;
    }
    serial_icounter_struct raw{};
    if (m_calls.Ioctl(m_fd, TIOCGICOUNT, &raw) != 0) {
        if (NotSupported(errno)) {
            m_countersAvailable = false;  // a driver without counters stays without them
        }
        return false;
    }
    counters.frame = raw.frame;
    counters.overrun = raw.overrun;
    counters.parity = raw.parity;
    counters.brk = raw.brk;
    counters.bufOverrun = raw.buf_overrun;
    return true;
}

uint32_t SerialPort::TakeLineErrors() {
    Counters now;
    if (!ReadCounters(now)) {
        return 0;
    }
    uint32_t flags = 0;
    if (now.brk != m_counters.brk) {
        flags |= kCeBreak;
    }
    if (now.frame != m_counters.frame) {
        flags |= kCeFrame;
    }
    if (now.overrun != m_counters.overrun) {
        flags |= kCeOverrun;
    }
    if (now.bufOverrun != m_counters.bufOverrun) {
        flags |= kCeRxOver;
    }
    if (now.parity != m_counters.parity) {
        flags |= kCeRxParity;
    }
    m_counters = now;
    return flags;
}

}  // namespace vsk
