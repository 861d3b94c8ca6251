// An in-process scripted register for the engine tests: the master side of a pseudo-terminal
// pair whose slave the engine opens through a "COMn" mapping. A thread decodes the engine's
// frames and wake bytes and answers per rules (command text -> reply frames, silence, delays).
#pragma once

#include <termios.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vsktest {

struct Reply {
    std::string text;  // Windows-1251; framed as the register frames it
    int delayMs = 0;   // real milliseconds before this frame goes out
};

class ScriptedRegister {
public:
    // The text recorded for a wake byte (0x55 outside a frame).
    static constexpr const char* kWake = "<wake>";

    ScriptedRegister();
    ~ScriptedRegister();
    ScriptedRegister(const ScriptedRegister&) = delete;
    ScriptedRegister& operator=(const ScriptedRegister&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }

    // Answers every command that begins with `prefix` (or the wake byte for kWake). Rules added
    // later take precedence; `times` limits how often a rule answers (-1: always). An empty
    // reply list is silence.
    void On(const std::string& prefix, std::vector<Reply> replies, int times = -1);
    void OnMatch(std::function<bool(const std::string&)> match, std::vector<Reply> replies,
                 int times = -1);
    // Ignores everything while the line runs at another speed (a register fixed at one rate).
    void OnlyAtSpeed(speed_t speed) { m_onlySpeed.store(speed); }
    // The line speed the engine set on its side.
    speed_t LineSpeed() const;
    // Sends a frame now, unasked.
    void Send(const std::string& text);

    // Frames written to the engine so far; WaitSent waits (real time, bounded) for a count.
    size_t Sent() const { return m_sent.load(); }
    bool WaitSent(size_t count, int timeoutMs = 2000) const;

    // Commands received so far, in order; wake bytes as kWake.
    std::vector<std::string> Commands() const;
    // Received commands other than wake bytes.
    std::vector<std::string> Frames() const;
    // The last command that begins with `prefix`, empty when none came.
    std::string Last(const std::string& prefix) const;
    size_t Count(const std::string& prefix) const;
    void ClearLog();
    // Pulls the plug: the register stops and its side of the line closes, as an unplugged
    // adapter's does. Nothing answers after this.
    void Unplug();

private:
    struct Rule {
        std::function<bool(const std::string&)> match;
        std::vector<Reply> replies;
        int times;
    };
    void Run();
    void OnCommand(const std::string& text);
    void Write(const std::string& text);
    bool SpeedAccepted() const;

    int m_master = -1;
    std::string m_slavePath;
    std::atomic<bool> m_stop{false};
    std::atomic<speed_t> m_onlySpeed{0};
    std::atomic<size_t> m_sent{0};
    mutable std::mutex m_mutex;
    std::vector<Rule> m_rules;
    std::vector<std::string> m_log;
    std::thread m_thread;
};

// Reply texts of a register, laid out as the engine reads them.
struct ConfFields {
    std::string serial = "1234567890";
    std::string fiscal = "FN00000001";
    std::string owner = "Test shop";
    std::string date = "20261206";
    std::string time = "140509";
    char key = '1';
    std::string firmware = "ABCD";
    std::string firmwareDate = "20050719";
    std::string currencyDate = "20200101";
    char decimalPoint = '2';
    std::string currency = "UAH";
    std::string extFirmware;  // empty: the reply ends after the currency name
    std::string extFirmwareDate;
};
std::string ConfReply(const ConfFields& fields, const char* word = "CONF");

struct TaxFields {
    char kind = 0;  // 0: entry not set
    std::string rate = "2000";
};
std::string CnalReply(const std::vector<TaxFields>& taxes);

}  // namespace vsktest
