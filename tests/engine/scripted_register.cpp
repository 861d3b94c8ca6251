#include "tests/engine/scripted_register.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "link/frame.h"

namespace vsktest {
namespace {

class Collector : public vsk::FrameDecoder::Sink {
public:
    void OnMessage(const vsk::PrinterMessage& message) override {
        texts.emplace_back(message.Text());
    }
    std::vector<std::string> texts;
};

std::string Fixed(std::string text, size_t width, char fill = ' ') {
    text.resize(width, fill);
    return text;
}

}  // namespace

ScriptedRegister::ScriptedRegister() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    m_slavePath = ptsname(m_master);
    m_thread = std::thread(&ScriptedRegister::Run, this);
}

ScriptedRegister::~ScriptedRegister() {
    Unplug();
}

void ScriptedRegister::Unplug() {
    m_stop.store(true);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
}

void ScriptedRegister::On(const std::string& prefix, std::vector<Reply> replies, int times) {
    OnMatch([prefix](const std::string& text) { return text.rfind(prefix, 0) == 0; },
            std::move(replies), times);
}

void ScriptedRegister::OnMatch(std::function<bool(const std::string&)> match,
                               std::vector<Reply> replies, int times) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.push_back({std::move(match), std::move(replies), times});
}

speed_t ScriptedRegister::LineSpeed() const {
    // On a pseudo-terminal master, tcgetattr reports the slave's settings.
    termios tio{};
    if (tcgetattr(m_master, &tio) != 0) {
        return 0;
    }
    return cfgetospeed(&tio);
}

bool ScriptedRegister::SpeedAccepted() const {
    speed_t only = m_onlySpeed.load();
    return only == 0 || LineSpeed() == only;
}

void ScriptedRegister::Send(const std::string& text) {
    Write(text);
}

void ScriptedRegister::Write(const std::string& text) {
    std::vector<uint8_t> frame;
    if (!vsk::EncodeFrame(text, frame)) {
        return;
    }
    size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = write(m_master, frame.data() + done, frame.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
    m_sent.fetch_add(1);
}

bool ScriptedRegister::WaitSent(size_t count, int timeoutMs) const {
    for (int waited = 0; m_sent.load() < count; ++waited) {
        if (waited >= timeoutMs) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<std::string> ScriptedRegister::Commands() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_log;
}

std::vector<std::string> ScriptedRegister::Frames() const {
    std::vector<std::string> frames;
    for (const std::string& text : Commands()) {
        if (text != kWake) {
            frames.push_back(text);
        }
    }
    return frames;
}

std::string ScriptedRegister::Last(const std::string& prefix) const {
    std::vector<std::string> log = Commands();
    for (auto it = log.rbegin(); it != log.rend(); ++it) {
        if (it->rfind(prefix, 0) == 0) {
            return *it;
        }
    }
    return {};
}

size_t ScriptedRegister::Count(const std::string& prefix) const {
    size_t count = 0;
    for (const std::string& text : Commands()) {
        count += text.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

void ScriptedRegister::ClearLog() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_log.clear();
}

void ScriptedRegister::OnCommand(const std::string& text) {
    std::vector<Reply> replies;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_log.push_back(text);
        for (auto it = m_rules.rbegin(); it != m_rules.rend(); ++it) {
            if (it->times != 0 && it->match(text)) {
                if (it->times > 0) {
                    --it->times;
                }
                replies = it->replies;
                break;
            }
        }
    }
    for (const Reply& reply : replies) {
        if (reply.delayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
        }
        Write(reply.text);
    }
}

void ScriptedRegister::Run() {
    // The engine's frames end FE 00 check; the check byte may be any value (0x55 or 0xFD too),
    // so the two trailer bytes are skipped here before the decoder sees the frame.
    enum class State { Idle, Frame, Trailer };
    State state = State::Idle;
    int trailer = 0;
    std::vector<uint8_t> frame;
    vsk::FrameDecoder decoder;
    uint8_t buffer[512];
    while (!m_stop.load()) {
        pollfd pfd{m_master, POLLIN, 0};
        int ready = poll(&pfd, 1, 10);
        if (ready <= 0) {
            continue;
        }
        if ((pfd.revents & POLLIN) == 0) {
            // No slave open (before the engine opens it, after it closes): nothing to read.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        ssize_t n = read(m_master, buffer, sizeof buffer);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        bool accepted = SpeedAccepted();
        for (ssize_t i = 0; i < n; ++i) {
            uint8_t byte = buffer[i];
            switch (state) {
                case State::Idle:
                    if (byte == vsk::kFrameStart) {
                        frame.assign(1, byte);
                        state = State::Frame;
                    } else if (byte == 0x55 && accepted) {
                        OnCommand(kWake);
                    }
                    break;
                case State::Frame:
                    frame.push_back(byte);
                    if (byte == vsk::kFrameEnd) {
                        state = State::Trailer;
                        trailer = 2;
                    }
                    break;
                case State::Trailer:
                    if (--trailer == 0) {
                        state = State::Idle;
                        Collector sink;
                        decoder.Feed(frame.data(), frame.size(), sink);
                        for (const std::string& text : sink.texts) {
                            if (accepted) {
                                OnCommand(text);
                            }
                        }
                    }
                    break;
            }
        }
    }
}

std::string ConfReply(const ConfFields& f, const char* word) {
    std::string text = word;
    text += Fixed(f.serial, 10);
    text += Fixed(f.fiscal, 10);
    text += Fixed(f.owner, 36);
    text += Fixed(f.date, 8);
    text += Fixed(f.time, 6);
    text += f.key;
    text += std::string(35, '0');
    text += Fixed(f.firmware, 4);
    text += Fixed(f.firmwareDate, 8);
    text += std::string(18, '0');
    text += Fixed(f.currencyDate, 8);
    text += f.decimalPoint;
    text += Fixed(f.currency, 3);
    if (!f.extFirmware.empty()) {
        text += Fixed(f.extFirmware, 4);
        text += Fixed(f.extFirmwareDate, 8);
    }
    return text;
}

std::string CnalReply(const std::vector<TaxFields>& taxes) {
    std::string text = "CNAL";
    for (size_t i = 0; i < 8; ++i) {
        if (i < taxes.size() && taxes[i].kind != 0) {
            text += "20200101";
            text += ' ';
            text += taxes[i].kind;
            text += Fixed(taxes[i].rate, 4, '0');
        } else {
            text += std::string(14, '0');
        }
    }
    return text;
}

}  // namespace vsktest
