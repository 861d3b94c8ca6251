// The serial channel of one engine: the port with its line settings, a framed write path and
// the reader thread that decodes frames into the engine's queue.
// Threading rule: every member is called on the engine's thread; the reader thread touches only
// the port descriptor, its decoder, the queue (Put) and the journal.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace vsk {
class Journal;
class IClock;
class SerialPort;
class PollableEvent;
class PosixCalls;
}  // namespace vsk
class CMessageContainer;

namespace vsk {

// True when the text holds "SOFT", "HARD" or "SHUTDOWN" anywhere (not only at its start): a
// status word, which must be classified before anything else is done with the text.
bool IsStatusText(std::string_view text);

// What became of a send: written whole, or why nothing reached the line.
enum class SendOutcome {
    Sent,
    TooLong,  // the text does not fit a frame
    PortClosed,
    WriteFailed,  // the port refused the bytes (unplugged, hung up)
    DeviceGone,   // the reader saw the device go away: nothing is written to a dead port
};

class SerialChannel {
public:
    SerialChannel(Journal& journal, CMessageContainer& queue, IClock& clock);
    // Tests pass a seam that disturbs the port's system calls.
    SerialChannel(Journal& journal, CMessageContainer& queue, IClock& clock, PosixCalls& calls);
    ~SerialChannel();  // stops the reader and closes the port
    SerialChannel(const SerialChannel&) = delete;
    SerialChannel& operator=(const SerialChannel&) = delete;

    // Journals "OpenPport: PortName = %s", opens "COMn" (or a device path) exclusively with the
    // line settings (baud rate from the settings store), purges. False, with the port left
    // as it was, when the port is already open.
    bool OpenPport(const std::string& portName);
    bool IsOpen() const;
    bool IsRunning() const;
    // True once the reader saw the device go away (hang-up, or a read failing with EIO or
    // ENODEV, as an unplugged adapter or a pseudo-terminal whose other end closed does). The
    // reader then stops and wakes whoever waits on the queue; the port stays open until Stop.
    // Any thread.
    bool DeviceGone() const { return m_deviceGone.load(std::memory_order_acquire); }
    // The device the port name resolved to at the last OpenPport ("" before one).
    std::string DevicePath() const { return m_devicePath; }
    // Starts the reader thread; does nothing when one is already running on this port.
    void Start();
    // -1 when the port was not open; else stops and joins the reader, drops DTR, purges,
    // closes, sleeps 2500 ms (through the clock) and returns 0. A device that went away is let
    // go at once: nobody is left on its line to notice the dropped DTR.
    int Stop();

    // Journal (with the secret byte range masked), frame, write; says why nothing reached the
    // line when it did not. What waits in the queue is the engine's to look at first.
    SendOutcome Send(std::string_view text, size_t secretBegin = 0, size_t secretLength = 0);
    bool WriteRaw(const uint8_t* bytes, size_t count);
    bool SetBaudRate(uint32_t baud);
    void SetDtr(bool on);
    std::string PortName() const { return m_portName; }

    // The journal text of a channel error ("Printer channel error:  CE_BREAK ..."), empty when
    // no flag is set.
    static std::string ChannelErrorText(uint32_t flags);

    // How long the reader rests after the line failed or hung up before it looks again; a stop
    // ends the rest at once.
    static constexpr int kErrorBackoffMs = 50;

private:
    void ReaderThread();
    void ReportLineErrors();
    void StopReader();

    Journal& m_journal;
    CMessageContainer& m_queue;
    IClock& m_clock;
    std::unique_ptr<SerialPort> m_port;
    std::atomic<bool> m_stopFlag{false};
    std::atomic<bool> m_deviceGone{false};
    std::string m_devicePath;
    std::unique_ptr<PollableEvent> m_stop;
    std::thread m_reader;
    std::string m_portName;
};

}  // namespace vsk
