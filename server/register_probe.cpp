#include "server/register_probe.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <system_error>
#include <vector>

#include "engine/error_catalogue.h"
#include "link/frame.h"
#include "platform/codepage.h"
#include "platform/serial_port.h"
#include "platform/text.h"

namespace vsk {

namespace {

using Clock = std::chrono::steady_clock;
using Result = DetectedDevice::Result;

constexpr uint8_t kWakeByte = 0x55;
constexpr uint32_t kSpeeds[] = {SerialPort::kDefaultBaudRate, 57600};
// The register needs a moment after the wake byte before it answers, as at a connection.
constexpr auto kWakeSettle = std::chrono::milliseconds(10);

// The device's messages as they arrive, and whether any byte at all came.
class Line : private FrameDecoder::Sink {
public:
    explicit Line(SerialPort& port) : m_port(port) {}

    // The next message, waiting until `until` at most; false when none came by then.
    bool Next(std::string* message, Clock::time_point until) {
        while (m_messages.empty()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left.count() <= 0)
                return false;
            const SerialPort::WaitResult waited = m_port.Wait(-1, int(left.count()) + 1);
            if (waited == SerialPort::WaitResult::Timeout)
                continue;
            // Hung up or failed: what was left is read, and nothing more comes.
            const long n = ReadWaiting();
            if (n < 0 || (n == 0 && waited != SerialPort::WaitResult::Readable))
                return false;
        }
        *message = std::move(m_messages.front());
        m_messages.pop_front();
        return true;
    }
    // Forgets what came so far (a speed change makes it garbage).
    void Forget() {
        m_messages.clear();
        m_decoder.Reset();
    }
    bool AnyBytes() const { return m_anyBytes; }

private:
    long ReadWaiting() {
        const long n = m_port.Read(m_decoder.FreeSpace(), m_decoder.FreeSize());
        if (n > 0) {
            m_anyBytes = true;
            m_decoder.Commit(size_t(n), *this);
        }
        return n;
    }
    void OnMessage(const PrinterMessage& message) override {
        m_messages.emplace_back(message.Text());
    }

    SerialPort& m_port;
    FrameDecoder m_decoder;
    std::deque<std::string> m_messages;
    bool m_anyBytes = false;
};

// A word only the register's protocol has: READY, or one of its status words.
bool SpeaksProtocol(const std::string& message) {
    return Contains(message, "READY") || FindStatusWord(message) != nullptr;
}

// Whether the register woke at the line's current speed.
bool Wake(SerialPort& port, Line& line, const ProbeTimings& timings) {
    for (int attempt = 0; attempt < timings.wakeAttempts; ++attempt) {
        if (!port.Write(&kWakeByte, 1))
            return false;
        const auto until =
            Clock::now() + kWakeSettle + std::chrono::milliseconds(timings.wakeWaitMs);
        std::string message;
        while (line.Next(&message, until))
            if (SpeaksProtocol(message))
                return true;
    }
    return false;
}

// The configuration query, as the connection's first reading sends it; its reply carries the
// serial number and firmware. An error word instead is kept in `result.detail`.
void ReadIdentity(SerialPort& port, Line& line, const ProbeTimings& timings, ProbeResult& result) {
    std::vector<uint8_t> frame;
    EncodeFrame("CONF", frame);
    if (!port.Write(frame.data(), frame.size())) {
        result.detail = "the identity query could not be written: " + port.LastError();
        return;
    }
    // Each message restarts the wait, as in any exchange, but a device that never stops
    // talking does not hold the probe past twice the wait.
    const auto wait = std::chrono::milliseconds(timings.identityWaitMs);
    const auto last = Clock::now() + 2 * wait;
    std::string message;
    while (line.Next(&message, std::min(Clock::now() + wait, last))) {
        if (const StatusWord* word = FindStatusWord(message)) {
            if (word->kind == StatusKind::Error) {
                result.detail = Cp1251ToUtf8(TrimRight(message));
                return;
            }
            continue;  // a warning: the reply goes on
        }
        if (const size_t at = message.find("CONF"); at != std::string::npos && !result.identified) {
            ParseConfigReply(std::string_view(message).substr(at), result.info, LocalNow());
            result.variant = ApplyModelTable(result.info);
            result.identified = true;
            continue;
        }
        if (Contains(message, "READY"))
            return;
    }
    if (!result.identified)
        result.detail = "the register did not answer the identity query";
}

// strerror's text, from any thread.
std::string ErrorText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// A terminal another program holds exclusively: privilege would let this open through, and the
// holder's line would be disturbed.
bool HeldExclusively(int fd) {
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

}  // namespace

ProbeResult ProbeRegister(const std::string& path, const ProbeTimings& timings) {
    ProbeResult result;
    // Held open across the port's own open so that the line sees one open, not two.
    const int look = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (look < 0) {
        const int error = errno;
        result.result = error == EBUSY ? Result::Busy : Result::CannotOpen;
        result.detail = ErrorText(error);
        return result;
    }
    if (HeldExclusively(look)) {
        close(look);
        result.result = Result::Busy;
        result.detail = ErrorText(EBUSY);
        return result;
    }
    SerialPort port;
    const bool opened = port.Open(path, kSpeeds[0]);
    close(look);
    if (!opened) {
        result.result = port.LastErrno() == EBUSY ? Result::Busy : Result::CannotOpen;
        result.detail = port.LastError();
        return result;
    }
    Line line(port);
    for (const uint32_t speed : kSpeeds) {
        if (speed != kSpeeds[0]) {
            port.SetBaudRate(speed);
            port.Purge();
            line.Forget();
        }
        if (Wake(port, line, timings)) {
            result.result = Result::Found;
            result.baud = speed;
            break;
        }
    }
    if (result.result == Result::Found) {
        line.Forget();
        ReadIdentity(port, line, timings, result);
    } else {
        result.result = line.AnyBytes() ? Result::NotRegister : Result::NoAnswer;
    }
    // Nothing of ours is left in the driver to hold up the close.
    port.SetDtr(false);
    port.Purge();
    port.Close();
    return result;
}

}  // namespace vsk
