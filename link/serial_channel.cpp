#include "link/serial_channel.h"

#include <cerrno>
#include <string>
#include <vector>

#include "link/frame.h"
#include "link/journal.h"
#include "link/message_container.h"
#include "link/settings.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/serial_port.h"

namespace vsk {

namespace {

// The channel error names in the order the journal lists them.
struct FlagName {
    uint32_t flag;
    const char* name;
};
constexpr FlagName kLineErrorNames[] = {
    {kCeBreak, " CE_BREAK"},       {kCeFrame, " CE_FRAME"},     {kCeIoe, " CE_IOE"},
    {kCeMode, " CE_MODE"},         {kCeOverrun, " CE_OVERRUN"}, {kCeRxOver, " CE_RXOVER"},
    {kCeRxParity, " CE_RXPARITY"}, {kCeTxFull, " CE_TXFULL"},
};

class QueueSink : public FrameDecoder::Sink {
public:
    explicit QueueSink(CMessageContainer& queue) : m_queue(queue) {}
    // A message the queue refuses (full) is lost, as the register's line would lose it.
    void OnMessage(const PrinterMessage& message) override { m_queue.Put(message); }

private:
    CMessageContainer& m_queue;
};

}  // namespace

bool IsStatusText(std::string_view text) {
    return text.find("SOFT") != std::string_view::npos ||
           text.find("HARD") != std::string_view::npos ||
           text.find("SHUTDOWN") != std::string_view::npos;
}

SerialChannel::SerialChannel(Journal& journal, CMessageContainer& queue, IClock& clock)
    : SerialChannel(journal, queue, clock, RealPosixCalls()) {}

SerialChannel::SerialChannel(Journal& journal, CMessageContainer& queue, IClock& clock,
                             PosixCalls& calls)
    : m_journal(journal),
      m_queue(queue),
      m_clock(clock),
      m_port(std::make_unique<SerialPort>(calls)),
      m_stop(std::make_unique<PollableEvent>()) {}

SerialChannel::~SerialChannel() {
    // The engine's Done stops the channel with its pause; here only the thread and the port
    // must not outlive the object.
    StopReader();
    if (m_port->IsOpen()) {
        m_port->SetDtr(false);
        m_port->Close();
    }
}

bool SerialChannel::OpenPport(const std::string& portName) {
    m_journal.LogFormat("OpenPport: PortName = %s", portName.c_str());
    if (m_port->IsOpen()) {
        return false;
    }
    if (!m_port->Open(portName, BaudRateSetting())) {
        return false;
    }
    m_portName = portName;
    m_devicePath = m_port->Path();
    m_deviceGone.store(false, std::memory_order_release);
    return true;
}

bool SerialChannel::IsOpen() const {
    return m_port->IsOpen();
}

bool SerialChannel::IsRunning() const {
    return m_reader.joinable();
}

void SerialChannel::Start() {
    if (!m_port->IsOpen() || m_reader.joinable()) {
        return;
    }
    m_stop->Reset();
    m_stopFlag.store(false);
    m_reader = std::thread(&SerialChannel::ReaderThread, this);
}

void SerialChannel::StopReader() {
    if (!m_reader.joinable()) {
        return;
    }
    m_stopFlag.store(true);
    m_stop->Set();
    m_reader.join();
}

int SerialChannel::Stop() {
    if (!m_port->IsOpen()) {
        return -1;
    }
    // The reader must be gone before the port closes: it polls and reads the descriptor.
    StopReader();
    const bool gone = DeviceGone();
    if (!gone) {
        m_port->SetDtr(false);
        m_port->Purge();
    }
    m_port->Close();
    m_deviceGone.store(false, std::memory_order_release);
    // Give the register time to notice the dropped line before anyone opens it again.
    if (!gone) {
        m_clock.Sleep(2500);
    }
    return 0;
}

std::string SerialChannel::ChannelErrorText(uint32_t flags) {
    if (flags == 0) {
        return {};
    }
    std::string text = "Printer channel error: ";
    for (const auto& row : kLineErrorNames) {
        if ((flags & row.flag) != 0) {
            text += row.name;
        }
    }
    return text;
}

void SerialChannel::ReportLineErrors() {
    const std::string text = ChannelErrorText(m_port->TakeLineErrors());
    if (!text.empty()) {
        m_journal.LogError(text);
    }
}

void SerialChannel::ReaderThread() {
    FrameDecoder decoder;
    QueueSink sink(m_queue);
    while (!m_stopFlag.load()) {
        const auto woke = m_port->Wait(m_stop->Fd(), -1);
        if (woke == SerialPort::WaitResult::Stopped) {
            break;
        }
        bool failed = woke == SerialPort::WaitResult::Failed;
        if (woke == SerialPort::WaitResult::Readable || woke == SerialPort::WaitResult::Hangup) {
            if (decoder.FreeSize() == 0) {
                decoder.Reset();  // the decoder never leaves a full buffer; belt and braces
            }
            const long n = m_port->Read(decoder.FreeSpace(), decoder.FreeSize());
            if (n > 0) {
                decoder.Commit(static_cast<size_t>(n), sink);
            }
            // Bytes received with a line error are counted by the driver, not refused: look at
            // the counters after every pass so each error is reported once.
            ReportLineErrors();
            // A hang-up stays signalled (a pseudo-terminal whose other end closed does so for
            // ever): once its last bytes are read, the device is gone.
            // A failed read alone may be a line error the driver still holds; with the
            // hang-up, or a device the kernel no longer has, nothing will come again.
            const int error = n < 0 ? m_port->LastErrno() : 0;
            if ((n <= 0 && woke == SerialPort::WaitResult::Hangup) || error == ENODEV ||
                error == ENXIO) {
                m_journal.LogError("The device went away: " + m_port->Path() + " (" +
                                   (n < 0 ? m_port->LastError() : std::string("hang-up")) + ")");
                m_deviceGone.store(true, std::memory_order_release);
                m_queue.Wake();
                break;
            }
            failed = n < 0;
        }
        if (failed) {
            m_port->Wait(m_stop->Fd(), kErrorBackoffMs, false);
        }
    }
}

SendOutcome SerialChannel::Send(std::string_view text, size_t secretBegin, size_t secretLength) {
    if (!text.empty()) {
        m_journal.LogToPrinter(text, secretBegin, secretLength);
    }
    std::vector<uint8_t> frame;
    if (!EncodeFrame(text, frame)) {
        m_journal.LogError("SendToPrinter: the command is too long (" +
                           std::to_string(text.size()) + " bytes, at most " +
                           std::to_string(kMaxCommandBytes) + ")");
        return SendOutcome::TooLong;
    }
    if (!m_port->IsOpen()) {
        return SendOutcome::PortClosed;
    }
    if (DeviceGone()) {
        return SendOutcome::DeviceGone;
    }
    return m_port->Write(frame.data(), frame.size()) ? SendOutcome::Sent : SendOutcome::WriteFailed;
}

bool SerialChannel::WriteRaw(const uint8_t* bytes, size_t count) {
    return m_port->IsOpen() && m_port->Write(bytes, count);
}

bool SerialChannel::SetBaudRate(uint32_t baud) {
    return m_port->IsOpen() && m_port->SetBaudRate(baud);
}

void SerialChannel::SetDtr(bool on) {
    if (m_port->IsOpen()) {
        m_port->SetDtr(on);
    }
}

}  // namespace vsk
