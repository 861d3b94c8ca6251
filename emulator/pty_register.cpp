#include "emulator/pty_register.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "emulator/util.h"
#include "link/frame.h"
#include "platform/codepage.h"

namespace vsk::emu {

namespace {

constexpr uint8_t kWakeByte = 0x55;
// Longest text a frame can announce, plus start, length and end bytes, with some slack.
constexpr size_t kMaxFrameBytes = 300;
// A frame that stops arriving (no byte for this long before its end byte and trailer) is
// answered as malformed instead of waiting for ever.
constexpr auto kFrameTimeout = std::chrono::milliseconds(500);

int SpeedOf(speed_t s) {
    switch (s) {
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        default:
            return 0;
    }
}

std::string ErrnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

PtyRegister::PtyRegister(Register& reg, LineFaults faults) : m_register(reg), m_faults(faults) {}

PtyRegister::~PtyRegister() {
    Stop();
    CloseAll();
}

void PtyRegister::CloseAll() {
    for (auto& [fd, partial] : m_clients)
        close(fd);
    m_clients.clear();
    for (int* fd : {&m_master, &m_slave, &m_listen}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    if (!m_controlPath.empty())
        unlink(m_controlPath.c_str());
    m_controlPath.clear();
}

bool PtyRegister::Open(std::string& error) {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        error = ErrnoText("posix_openpt");
        return false;
    }
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        error = ErrnoText("grantpt/unlockpt");
        return false;
    }
    char name[128];
    if (ptsname_r(m_master, name, sizeof name) != 0) {
        error = ErrnoText("ptsname");
        return false;
    }
    m_slavePath = name;
    m_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0) {
        error = ErrnoText("open slave");
        return false;
    }
    // Raw until the server sets its own line: an echoing slave would send our replies back.
    termios t{};
    if (tcgetattr(m_slave, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        tcsetattr(m_slave, TCSANOW, &t);
    }
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    return true;
}

bool PtyRegister::ListenControl(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        error = "control socket path too long";
        return false;
    }
    m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listen < 0) {
        error = ErrnoText("socket");
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(m_listen, 8) != 0) {
        error = ErrnoText("bind/listen control socket");
        close(m_listen);
        m_listen = -1;
        return false;
    }
    m_controlPath = path;
    return true;
}

bool PtyRegister::Start(std::string& error) {
    if (m_master < 0) {
        error = "pseudo-terminal not open";
        return false;
    }
    if (m_thread.joinable())
        return true;
    m_stop.Reset();
    m_thread = std::thread([this] { Run(); });
    return true;
}

void PtyRegister::Stop() {
    if (!m_thread.joinable())
        return;
    m_stop.Set();
    m_thread.join();
}

int PtyRegister::LineSpeed() const {
    termios t{};
    if (m_slave < 0 || tcgetattr(m_slave, &t) != 0)
        return 0;
    return SpeedOf(cfgetospeed(&t));
}

bool PtyRegister::SleepUnlessStopped(std::chrono::microseconds d) {
    if (d.count() <= 0)
        return true;
    if (d < std::chrono::milliseconds(2)) {
        std::this_thread::sleep_for(d);
        return true;
    }
    pollfd p{m_stop.Fd(), POLLIN, 0};
    return poll(&p, 1, static_cast<int>(d.count() / 1000)) == 0;
}

bool PtyRegister::WriteAll(const uint8_t* data, size_t count) {
    while (count > 0) {
        ssize_t n = write(m_master, data, count);
        if (n > 0) {
            m_bytesOut += static_cast<uint64_t>(n);
            data += n;
            count -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        // The server is not reading: wait until it does or we are stopped.
        pollfd p[2] = {{m_master, POLLOUT, 0}, {m_stop.Fd(), POLLIN, 0}};
        if (poll(p, 2, 1000) < 0 && errno != EINTR)
            return false;
        if (p[1].revents & POLLIN)
            return false;
    }
    return true;
}

void PtyRegister::WriteReplies(const std::vector<std::string>& replies, const LineFaults& faults) {
    if (faults.delayMs > 0 && !SleepUnlessStopped(std::chrono::milliseconds(faults.delayMs))) {
        return;
    }
    std::vector<uint8_t> bytes;
    for (const std::string& text : replies) {
        if (faults.noise) {
            m_random = m_random * 1664525u + 1013904223u;
            int count = 1 + (m_random >> 28) % 6;
            for (int i = 0; i < count; ++i) {
                m_random = m_random * 1664525u + 1013904223u;
                uint8_t b = static_cast<uint8_t>(m_random >> 24);
                bytes.push_back(b == kFrameStart ? 0x20 : b);
            }
        }
        std::vector<uint8_t> frame;
        // Our replies are at most 254 bytes by construction; a longer text is cut to the limit.
        if (!EncodeFrame(std::string_view(text).substr(0, kMaxCommandBytes), frame))
            continue;
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    const int speed = LineSpeed();
    if (faults.pace && speed > 0) {
        // 12 bits per byte: start bit, 8 data bits, parity and 2 stop bits.
        const auto perByte = std::chrono::nanoseconds(12'000'000'000LL / speed);
        // A byte reaches the server when its last bit has crossed the line, not as it leaves.
        auto due = std::chrono::steady_clock::now();
        for (uint8_t b : bytes) {
            due += perByte;
            std::this_thread::sleep_until(due);
            if (!WriteAll(&b, 1))
                return;
        }
        return;
    }
    if (faults.split) {
        for (uint8_t b : bytes) {
            if (!WriteAll(&b, 1))
                return;
            if (!SleepUnlessStopped(std::chrono::microseconds(faults.splitGapUs)))
                return;
        }
        return;
    }
    WriteAll(bytes.data(), bytes.size());
}

bool PtyRegister::SleepUntilUnlessStopped(std::chrono::steady_clock::time_point t) {
    const auto now = std::chrono::steady_clock::now();
    if (t <= now)
        return true;
    if (t - now < std::chrono::milliseconds(2)) {
        std::this_thread::sleep_until(t);
        return true;
    }
    return SleepUnlessStopped(std::chrono::duration_cast<std::chrono::microseconds>(t - now)) &&
           SleepUntilUnlessStopped(t);  // poll() rounds down to whole milliseconds
}

bool PtyRegister::TakePaced(const uint8_t* data, size_t count, std::vector<Event>& events) {
    // A pseudo-terminal hands over a whole frame at once; a serial line brings it one byte
    // every 12 bit times. Each byte counts as arrived only when the line could have brought it,
    // after the bytes before it, so nothing is answered before its last byte is in.
    const auto perByte = std::chrono::nanoseconds(12'000'000'000LL / LineSpeed());
    auto arrived = std::max(std::chrono::steady_clock::now(), m_rxDue);
    for (size_t i = 0; i < count; ++i) {
        arrived += perByte;
        OnInput(data + i, 1, events);
        if (!events.empty()) {
            if (!SleepUntilUnlessStopped(arrived))
                return false;
            // Later bytes kept coming while we answered (the line is full duplex): their
            // arrival times run on from this one.
            Answer(events);
            events.clear();
        }
    }
    m_rxDue = arrived;
    m_lastByte = arrived;
    return true;
}

void PtyRegister::FinishFrame(std::vector<Event>& events) {
    // FD text L FE 00 chk: the register verifies the length byte and the check byte.
    const size_t size = m_frame.size();
    bool good = size >= 5;
    if (good) {
        const size_t n = size - 5;
        good = m_frame[n + 1] == n + 1 && m_frame[n + 2] == kFrameEnd && m_frame[n + 3] == 0 &&
               m_frame[n + 4] == (FrameCheck(m_frame.data(), n + 3) & 0xFF);
    }
    if (good) {
        std::string raw(reinterpret_cast<const char*>(m_frame.data()) + 1, size - 5);
        events.push_back({Event::kFrame, Cp866ToCp1251(raw)});
        ++m_frames;
    } else {
        events.push_back({Event::kBadFrame, {}});
        ++m_badFrames;
    }
    m_frame.clear();
    m_parse = Parse::kIdle;
}

void PtyRegister::OnInput(const uint8_t* data, size_t count, std::vector<Event>& events) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = data[i];
        switch (m_parse) {
            case Parse::kIdle:
                if (b == kWakeByte) {
                    events.push_back({Event::kWake, {}});
                } else if (b == kFrameStart) {
                    m_frame.assign(1, b);
                    m_parse = Parse::kText;
                }
                break;  // anything else between frames is line noise
            case Parse::kText:
                m_frame.push_back(b);
                if (b == kFrameEnd) {
                    m_endIndex = m_frame.size() - 1;
                    m_parse = Parse::kTrailer;
                } else if (m_frame.size() > kMaxFrameBytes) {
                    FinishFrame(events);  // no end byte: malformed
                }
                break;
            case Parse::kTrailer:
                // two bytes follow the end byte: 0x00 and the check byte
                m_frame.push_back(b);
                if (m_frame.size() == m_endIndex + 3)
                    FinishFrame(events);
                break;
        }
    }
}

void PtyRegister::Answer(const std::vector<Event>& events) {
    for (const Event& e : events) {
        if (m_busy) {
            // Still working on the command whose answer is late: this one waits its turn.
            m_held.push_back(e);
            continue;
        }
        std::vector<std::string> replies;
        LineFaults faults;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            faults = m_faults;
            if (e.kind == Event::kWake) {
                replies = m_register.Wake();
            } else if (e.kind == Event::kBadFrame) {
                replies = {"SOFTBLOCK"};
            } else {
                replies = m_register.Handle(e.text);
                if (!m_faults.swallow.empty() && e.text.starts_with(m_faults.swallow)) {
                    // Carried out above (printed, counters moved); only the answer is lost or late.
                    const int lateMs = m_faults.swallowLateMs;
                    m_faults.swallow.clear();
                    m_faults.swallowLateMs = 0;
                    ++m_swallowed;
                    if (lateMs > 0) {
                        m_busy = true;
                        m_lateDue =
                            std::chrono::steady_clock::now() + std::chrono::milliseconds(lateMs);
                        m_lateReplies = std::move(replies);
                    }
                    continue;
                }
            }
        }
        if (!replies.empty())
            WriteReplies(replies, faults);
    }
}

void PtyRegister::FinishLateAnswer() {
    if (!m_busy || std::chrono::steady_clock::now() < m_lateDue)
        return;
    LineFaults faults;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        faults = m_faults;
    }
    faults.delayMs = 0;  // late enough already
    m_busy = false;
    std::vector<std::string> replies;
    replies.swap(m_lateReplies);
    if (!replies.empty())
        WriteReplies(replies, faults);
    std::vector<Event> held;
    held.swap(m_held);
    Answer(held);
}

void PtyRegister::Run() {
    uint8_t buffer[4096];
    for (;;) {
        std::vector<pollfd> fds = {
            {m_stop.Fd(), POLLIN, 0}, {m_master, POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}};
        if (m_listen >= 0)
            fds.push_back({m_listen, POLLIN, 0});
        for (auto& [fd, partial] : m_clients)
            fds.push_back({fd, POLLIN, 0});
        int timeout = m_parse == Parse::kIdle ? -1 : 100;
        if (m_busy) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                m_lateDue - std::chrono::steady_clock::now());
            const int leftMs = static_cast<int>(std::max<int64_t>(0, left.count()));
            timeout = timeout < 0 ? leftMs : std::min(timeout, leftMs);
        }
        int r = poll(fds.data(), fds.size(), timeout);
        if (r < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN)
            break;

        std::vector<Event> events;
        if (fds[1].revents & POLLIN) {
            ssize_t n = read(m_master, buffer, sizeof buffer);
            if (n > 0) {
                m_bytesIn += static_cast<uint64_t>(n);
                bool drop, pace;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    drop = m_faults.silent ||
                           (m_faults.onlyBaud != 0 && LineSpeed() != m_faults.onlyBaud);
                    pace = m_faults.pace;
                }
                if (drop) {
                    m_frame.clear();
                    m_parse = Parse::kIdle;
                } else if (pace && LineSpeed() > 0) {
                    if (!TakePaced(buffer, static_cast<size_t>(n), events))
                        break;
                } else {
                    OnInput(buffer, static_cast<size_t>(n), events);
                    m_lastByte = std::chrono::steady_clock::now();
                }
            }
        } else if (fds[1].revents & (POLLHUP | POLLERR)) {
            // Cannot happen while we hold the slave open; avoid spinning if it does.
            SleepUnlessStopped(std::chrono::milliseconds(50));
        }
        if (m_parse != Parse::kIdle &&
            std::chrono::steady_clock::now() - m_lastByte > kFrameTimeout) {
            FinishFrame(events);
        }
        Answer(events);
        FinishLateAnswer();

        if (fds[2].revents & POLLIN) {
            m_wake.Reset();
            std::vector<std::string> messages;
            LineFaults faults;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                messages.swap(m_unsolicited);
                faults = m_faults;
            }
            faults.delayMs = 0;  // not an answer to anything: nothing to delay
            if (!messages.empty())
                WriteReplies(messages, faults);
        }

        for (size_t i = 3; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            if (fds[i].fd == m_listen) {
                int c = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (c >= 0)
                    m_clients[c];
            } else {
                ServeControlClient(fds[i].fd);
            }
        }
    }
}

void PtyRegister::ServeControlClient(int fd) {
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        close(fd);
        m_clients.erase(fd);
        return;
    }
    std::string& partial = m_clients[fd];
    partial.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = partial.find('\n')) != std::string::npos) {
        std::string line = partial.substr(0, nl);
        partial.erase(0, nl + 1);
        std::string answer = Control(line) + "\n";
        size_t off = 0;
        while (off < answer.size()) {
            ssize_t w = send(fd, answer.data() + off, answer.size() - off, MSG_NOSIGNAL);
            if (w > 0) {
                off += static_cast<size_t>(w);
            } else if (w < 0 && errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                if (poll(&p, 1, 1000) <= 0)
                    break;
            } else {
                break;
            }
        }
    }
    if (partial.size() > 4096)
        partial.clear();  // no line is that long: drop the garbage
}

std::string PtyRegister::Control(std::string_view line) {
    std::vector<std::string> w = SplitWords(line);
    if (w.empty())
        return "ERR empty command";
    auto onOff = [&](bool& flag) {
        if (w.size() < 2 || (w[1] != "on" && w[1] != "off"))
            return std::string("ERR usage: ") + w[0] + " on|off";
        flag = w[1] == "on";
        return std::string("OK");
    };
    std::lock_guard<std::mutex> lock(m_mutex);
    if (w[0] == "silence")
        return onOff(m_faults.silent);
    if (w[0] == "noise")
        return onOff(m_faults.noise);
    if (w[0] == "pace")
        return onOff(m_faults.pace);
    if (w[0] == "split") {
        std::string r = onOff(m_faults.split);
        if (r == "OK" && w.size() > 2)
            m_faults.splitGapUs = std::atoi(w[2].c_str());
        return r;
    }
    if (w[0] == "delay" && w.size() == 2) {
        m_faults.delayMs = std::max(0, std::atoi(w[1].c_str()));
        return "OK";
    }
    if (w[0] == "only-baud" && w.size() == 2) {
        m_faults.onlyBaud = w[1] == "off" ? 0 : std::atoi(w[1].c_str());
        return "OK";
    }
    if (w[0] == "send" && w.size() > 1) {
        std::string_view rest = line.substr(line.find("send") + 4);
        m_unsolicited.push_back(Utf8ToCp1251(Trim(rest)));
        m_wake.Set();
        return "OK";
    }
    if (w[0] == "swallow" && w.size() == 2 && w[1] == "off") {
        m_faults.swallow.clear();
        m_faults.swallowLateMs = 0;
        return "OK";
    }
    if (w[0] == "swallow" && (w.size() == 2 || w.size() == 3) && w[1].size() == 4) {
        const int lateMs = w.size() == 3 ? std::atoi(w[2].c_str()) : 0;
        if (lateMs < 0 || (w.size() == 3 && lateMs == 0))
            return "ERR usage: swallow CMD [MS] | swallow off";
        m_faults.swallow = w[1];
        m_faults.swallowLateMs = lateMs;
        return "OK";
    }
    if (w[0] == "swallow")
        return "ERR usage: swallow CMD [MS] | swallow off";
    if (w[0] == "baud")
        return "BAUD " + std::to_string(LineSpeed());
    if (w[0] == "stats") {
        return "STATS in=" + std::to_string(m_bytesIn) + " out=" + std::to_string(m_bytesOut) +
               " frames=" + std::to_string(m_frames) + " bad_frames=" + std::to_string(m_badFrames);
    }
    if (w[0] == "state") {
        return m_register.StateLine() + " baud=" + std::to_string(LineSpeed()) +
               " silent=" + (m_faults.silent ? "1" : "0") +
               " swallowed=" + std::to_string(m_swallowed);
    }
    if (w[0] == "help") {
        return "OK commands: state | stats | baud | tape [N] | silence on|off | noise on|off | "
               "split on|off [gap_us] | delay MS | pace on|off | only-baud N|off | "
               "paper ok|low|out | error WORD [COMMAND] | error clear | swallow CMD [MS] | swallow "
               "off | "
               "send TEXT | reset";
    }
    return m_register.Control(line);
}

}  // namespace vsk::emu
