// The emulated register on a pseudo-terminal: one I/O thread reads the server's bytes from the
// master side, verifies and decodes its frames, lets the Register answer and writes the replies
// framed as the register does, with the line faults switched on. A control socket (Unix stream,
// one text command per line) switches faults and reads the state while it runs.
//
// Threading: Start() runs one I/O thread (poll on the master, the control socket and a stop
// eventfd). Control() and WithRegister() may be called from any thread; they take the same mutex
// as the I/O thread, which never holds it while it sleeps or writes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "emulator/register.h"
#include "platform/event.h"

namespace vsk::emu {

struct LineFaults {
    bool silent = false;   // read and drop everything, answer nothing
    bool noise = false;    // a few random bytes before every reply frame
    bool split = false;    // replies written one byte per write
    int splitGapUs = 200;  // pause between the bytes of a split reply
    int delayMs = 0;       // pause before the replies of each command
    bool pace = false;     // read and write at the line rate: 12 bits per byte at its speed
    int onlyBaud = 0;      // when set, bytes that arrive at another speed are ignored
    // The next command with this word (e.g. "COMP") is carried out in full but its answer is
    // never sent, or, with swallowLateMs, sent that late while the register stays busy: what
    // arrives meanwhile is taken up only after the late answer. One-shot.
    std::string swallow;
    int swallowLateMs = 0;
};

class PtyRegister {
public:
    explicit PtyRegister(Register& reg, LineFaults faults = {});
    ~PtyRegister();
    PtyRegister(const PtyRegister&) = delete;
    PtyRegister& operator=(const PtyRegister&) = delete;

    // Creates the pseudo-terminal; the slave is kept open here too, so the master never sees a
    // hang-up between two server connections.
    bool Open(std::string& error);
    const std::string& SlavePath() const { return m_slavePath; }
    bool ListenControl(const std::string& path, std::string& error);
    bool Start(std::string& error);
    void Stop();

    // Line faults ("silence on", "split on", "delay 200", "pace on", "only-baud 57600",
    // "noise on", "swallow COMP [MS]", "swallow off", "baud", "stats"), "send TEXT" (an unsolicited
    // message from the register, TEXT in UTF-8) and everything Register::Control knows. Returns the
    // answer.
    std::string Control(std::string_view line);

    template <class F>
    auto WithRegister(F f) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f(m_register);
    }

    // The speed the server set on the slave, in bits per second (0 when unknown).
    int LineSpeed() const;

    uint64_t BytesIn() const { return m_bytesIn; }
    uint64_t BytesOut() const { return m_bytesOut; }

private:
    enum class Parse { kIdle, kText, kTrailer };
    struct Event {
        enum Kind { kWake, kFrame, kBadFrame } kind;
        std::string text;  // Windows-1251
    };

    void Run();
    void OnInput(const uint8_t* data, size_t count, std::vector<Event>& events);
    void FinishFrame(std::vector<Event>& events);
    void Answer(const std::vector<Event>& events);
    // Sends a late answer whose time has come, then takes up what waited behind it.
    void FinishLateAnswer();
    void WriteReplies(const std::vector<std::string>& replies, const LineFaults& faults);
    bool WriteAll(const uint8_t* data, size_t count);
    bool SleepUnlessStopped(std::chrono::microseconds d);
    bool SleepUntilUnlessStopped(std::chrono::steady_clock::time_point t);
    // Decodes bytes as a line at the current speed would deliver them; false when stopped.
    bool TakePaced(const uint8_t* data, size_t count, std::vector<Event>& events);
    void ServeControlClient(int fd);
    void CloseAll();

    Register& m_register;
    LineFaults m_faults;
    mutable std::mutex m_mutex;

    int m_master = -1;
    int m_slave = -1;
    PollableEvent m_stop;  // wakes the line thread to end it
    int m_listen = -1;
    std::string m_slavePath;
    std::string m_controlPath;
    std::map<int, std::string> m_clients;    // fd -> partial line
    PollableEvent m_wake;                    // unsolicited messages are waiting
    std::vector<std::string> m_unsolicited;  // guarded by m_mutex
    std::thread m_thread;

    Parse m_parse = Parse::kIdle;
    std::vector<uint8_t> m_frame;
    size_t m_endIndex = 0;
    std::chrono::steady_clock::time_point m_lastByte;  // of an unfinished frame
    // When the last byte taken in would have finished arriving on a paced line.
    std::chrono::steady_clock::time_point m_rxDue;
    uint32_t m_random = 0x2545F491;

    // A late answer being held back (line thread only): while m_busy, events wait in m_held.
    bool m_busy = false;
    std::chrono::steady_clock::time_point m_lateDue;
    std::vector<std::string> m_lateReplies;
    std::vector<Event> m_held;
    std::atomic<uint64_t> m_swallowed{0};

    std::atomic<uint64_t> m_bytesIn{0}, m_bytesOut{0};
    std::atomic<uint64_t> m_frames{0}, m_badFrames{0};
};

}  // namespace vsk::emu
