// A serial port on termios: exclusive open, the register's line settings (8 data bits, even
// parity, 2 stop bits, raw, no flow control, DTR and RTS raised), framed-protocol friendly
// non-blocking reads, writes that deliver every byte, and the line-error counters.
// Threading rule: one reader thread (Wait, Read, TakeLineErrors) and one other thread for
// everything else. Open and Close must not run while the reader uses the port.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/posix_calls.h"

namespace vsk {

// Bits of the channel error report, as the register link names them.
enum LineError : uint32_t {
    kCeRxOver = 0x01,
    kCeOverrun = 0x02,
    kCeRxParity = 0x04,
    kCeFrame = 0x08,
    kCeBreak = 0x10,
    kCeTxFull = 0x100,
    kCeIoe = 0x400,
    kCeMode = 0x8000,
};

class SerialPort {
public:
    static constexpr uint32_t kDefaultBaudRate = 115200;
    // How long a write waits for the driver to take more bytes before it gives up.
    static constexpr int kWriteStallMs = 5000;

    enum class WaitResult {
        Stopped,   // the stop descriptor became readable (checked first)
        Readable,  // bytes are waiting on the port
        Hangup,    // error or hang-up on the port: read what is left, then back off
        Timeout,
        Failed,  // poll itself failed
    };

    explicit SerialPort(PosixCalls& calls = RealPosixCalls());
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // "COMn" (any case of "COM", n >= 1): the string value "COMn" of the per-user key
    // SOFTWARE\Halvard (JSC)\VSKManager\Ports when it is set, else /dev/ttyS{n-1}.
    // Any other name is taken as a device path.
    static std::string ResolvePortName(const std::string& name);
    // The termios speed constant for a baud rate; 0 when the rate is not a standard one.
    static speed_t SpeedConstant(uint32_t baud);

    // Opens the resolved device exclusively (a second open, from this process or another,
    // fails with EBUSY), applies the line settings at `baud`, raises DTR and RTS and purges.
    // A rate that is not standard leaves the device's speed as it was. False with LastErrno set
    // when the device is missing, busy or not a terminal.
    bool Open(const std::string& name, uint32_t baud = kDefaultBaudRate);
    bool IsOpen() const { return m_fd >= 0; }
    // Lowers nothing itself: callers drop DTR first when the line should see it.
    void Close();
    const std::string& Path() const { return m_path; }
    int Fd() const { return m_fd; }

    bool SetBaudRate(uint32_t baud);  // changes only the speed
    bool SetDtr(bool on);
    bool Purge();  // discards both directions

    // Writes every byte: partial writes continue, EINTR retries, EAGAIN waits for the driver
    // (kWriteStallMs without progress at most). False on any other failure.
    bool Write(const uint8_t* bytes, size_t count);
    // Non-blocking: the number of bytes read, 0 when none are waiting, -1 when the port failed
    // or hung up (LastErrno tells which; EIO for a hang-up).
    long Read(uint8_t* buffer, size_t count);
    // Waits for the stop descriptor (may be -1) and, when `watchPort`, the port.
    WaitResult Wait(int stopFd, int timeoutMs, bool watchPort = true);

    // The line errors counted by the driver since the last call (or since Open), as kCe* bits.
    // Drivers without counters (pseudo-terminals) report none.
    uint32_t TakeLineErrors();

    int LastErrno() const { return m_lastErrno.load(std::memory_order_relaxed); }
    std::string LastError() const;

private:
    struct Counters {
        int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
    };
    bool ReadCounters(Counters& counters);
    bool ModemLines(bool raise, int lines);
    bool Fail(int error);

    PosixCalls& m_calls;
    int m_fd = -1;
    std::string m_path;
    bool m_countersAvailable = false;
    Counters m_counters;
    std::atomic<int> m_lastErrno{0};
};

}  // namespace vsk
