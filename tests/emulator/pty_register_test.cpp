// The emulated register over a real pseudo-terminal: frames in and out, the check byte, the
// wake byte, the line speed, the byte-level faults and the control socket.
#include "emulator/pty_register.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/frame.h"

namespace vsk::emu {
namespace {

using Clock = std::chrono::steady_clock;

// The server's end of the line: raw 8E2 at a chosen speed, frames decoded as the server does.
class ServerEnd : private FrameDecoder::Sink {
public:
    ServerEnd(const std::string& path, speed_t speed) {
        m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(m_fd, 0);
        SetSpeed(speed);
    }
    ~ServerEnd() override { close(m_fd); }

    void SetSpeed(speed_t speed) {
        termios t{};
        tcgetattr(m_fd, &t);
        cfmakeraw(&t);
        t.c_cflag |= PARENB | CSTOPB;
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        tcsetattr(m_fd, TCSANOW, &t);
    }
    void WriteRaw(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void Send(std::string_view text) {
        std::vector<uint8_t> frame;
        ASSERT_TRUE(EncodeFrame(text, frame));
        WriteRaw(frame);
    }
    // Reads until `count` messages came or `timeoutMs` passed; raw bytes are kept too.
    std::vector<std::string> Read(size_t count, int timeoutMs = 1000) {
        m_messages.clear();
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_messages.size() < count && Clock::now() < end) {
            pollfd p{m_fd, POLLIN, 0};
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0)
                continue;
            uint8_t buf[512];
            ssize_t n = read(m_fd, buf, sizeof buf);
            if (n <= 0)
                continue;
            ++reads;
            raw.insert(raw.end(), buf, buf + n);
            m_decoder.Feed(buf, static_cast<size_t>(n), *this);
        }
        return m_messages;
    }

    int reads = 0;
    std::vector<uint8_t> raw;

private:
    void OnMessage(const PrinterMessage& m) override { m_messages.emplace_back(m.Text()); }
    int m_fd = -1;
    FrameDecoder m_decoder;
    std::vector<std::string> m_messages;
};

class PtyRegisterTest : public ::testing::Test {
protected:
    void StartRegister(LineFaults faults = {}) {
        m_pty = std::make_unique<PtyRegister>(m_register, faults);
        std::string error;
        ASSERT_TRUE(m_pty->Open(error)) << error;
        char dir[] = "/tmp/vsk-emu-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        ASSERT_TRUE(m_pty->ListenControl(m_dir + "/control", error)) << error;
        ASSERT_TRUE(m_pty->Start(error)) << error;
        m_line = std::make_unique<ServerEnd>(m_pty->SlavePath(), B115200);
    }
    void TearDown() override {
        m_line.reset();
        m_pty.reset();
        if (!m_dir.empty())
            rmdir(m_dir.c_str());
    }
    // One command over the control socket, one answer line back.
    std::string ControlSocket(const std::string& command) {
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/control", m_dir.c_str());
        EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        std::string line = command + "\n";
        EXPECT_EQ(write(s, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        std::string answer;
        char c;
        while (read(s, &c, 1) == 1 && c != '\n')
            answer += c;
        close(s);
        return answer;
    }

    Register m_register;
    std::unique_ptr<PtyRegister> m_pty;
    std::unique_ptr<ServerEnd> m_line;
    std::string m_dir;
};

TEST_F(PtyRegisterTest, WakeByteAndFramesTravelFramedAsTheRegisterFramesThem) {
    StartRegister();
    m_line->WriteRaw({0x55});
    EXPECT_EQ(m_line->Read(1), std::vector<std::string>{"READY"});
    // start, text, length, end, 0x00 and the check byte over start..end
    const std::vector<uint8_t> ready = {0xFD, 'R', 'E', 'A', 'D', 'Y', 0x06, 0xFE, 0x00, 0xAF};
    EXPECT_EQ(m_line->raw, ready);

    m_line->Send("UPAS0000000000Ivan");
    EXPECT_EQ(m_line->Read(1), std::vector<std::string>{"READY"});
    m_line->Send("CONf");
    std::vector<std::string> replies = m_line->Read(2);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].substr(0, 14), "CONf5600012345");
    EXPECT_EQ(replies[1], "READY");
}

TEST_F(PtyRegisterTest, AFrameWithAWrongCheckOrLengthByteIsRefused) {
    StartRegister();
    std::vector<uint8_t> frame;
    ASSERT_TRUE(EncodeFrame("CNAL", frame));
    std::vector<uint8_t> badCheck = frame;
    badCheck.back() ^= 0x01;
    std::vector<uint8_t> badLength = frame;
    badLength[5] = 0x07;
    for (const auto& bad : {badCheck, badLength}) {
        m_line->WriteRaw(bad);
        EXPECT_EQ(m_line->Read(1), std::vector<std::string>{"SOFTBLOCK"});
    }
    // a frame cut before its trailer is answered after the frame time-out, not never
    m_line->WriteRaw(std::vector<uint8_t>(frame.begin(), frame.end() - 2));
    EXPECT_EQ(m_line->Read(1, 2000), std::vector<std::string>{"SOFTBLOCK"});
    // and the line is back in step afterwards
    m_line->WriteRaw(frame);
    EXPECT_EQ(m_line->Read(2).size(), 2u);
}

TEST_F(PtyRegisterTest, SplitAndNoisyRepliesStillDecode) {
    StartRegister();
    EXPECT_EQ(ControlSocket("split on 3000"), "OK");
    m_line->Send("CNAL");
    std::vector<std::string> replies = m_line->Read(2, 3000);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1], "READY");
    // 116 + 10 frame bytes, 3 ms apart: the reader cannot get them in a handful of reads
    EXPECT_GT(m_line->reads, 20);

    EXPECT_EQ(ControlSocket("split off"), "OK");
    EXPECT_EQ(ControlSocket("noise on"), "OK");
    const size_t before = m_line->raw.size();
    m_line->Send("CNAL");
    replies = m_line->Read(2);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].substr(0, 4), "CNAL");
    // frames are 121 + 10 bytes; the rest is noise
    EXPECT_GT(m_line->raw.size() - before, 131u);
}

TEST_F(PtyRegisterTest, OnlyBaudIgnoresOtherSpeedsAndPacingFollowsTheLineRate) {
    LineFaults faults;
    faults.onlyBaud = 57600;
    StartRegister(faults);
    m_line->WriteRaw({0x55});
    EXPECT_TRUE(m_line->Read(1, 200).empty());
    m_line->SetSpeed(B57600);
    EXPECT_EQ(ControlSocket("baud"), "BAUD 57600");
    m_line->WriteRaw({0x55});
    EXPECT_EQ(m_line->Read(1), std::vector<std::string>{"READY"});

    // 9600 baud, 12 bits a byte: 1.25 ms per byte
    EXPECT_EQ(ControlSocket("only-baud off"), "OK");
    EXPECT_EQ(ControlSocket("pace on"), "OK");
    m_line->SetSpeed(B9600);
    const uint64_t out = m_pty->BytesOut();
    const auto start = Clock::now();
    m_line->Send("CNAL");
    ASSERT_EQ(m_line->Read(2, 3000).size(), 2u);
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const double wireMs = (m_pty->BytesOut() - out) * 12 * 1000.0 / 9600;
    EXPECT_GE(elapsedMs, wireMs * 0.9);
}

// A paced register takes the server's bytes in no faster than the line brings them: a frame of
// N bytes at 9600 baud is answered no sooner than N x 12 / 9600 s after it was written, plus
// the reply's own time on the line. Only a lower bound: a slow machine may take longer.
TEST_F(PtyRegisterTest, PacedRegisterTakesBytesInAtTheLineRate) {
    LineFaults faults;
    faults.pace = true;
    StartRegister(faults);
    m_line->SetSpeed(B9600);
    std::vector<uint8_t> frame, second;
    ASSERT_TRUE(EncodeFrame("CNAL", frame));
    ASSERT_TRUE(EncodeFrame(std::string(200, 'Z'), second));
    // Two frames in one write: the second one's answer waits for all of its bytes too.
    frame.insert(frame.end(), second.begin(), second.end());
    const uint64_t in = m_pty->BytesIn(), out = m_pty->BytesOut();
    const auto start = Clock::now();
    m_line->WriteRaw(frame);
    const std::vector<std::string> replies = m_line->Read(3, 5000);
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[1], "READY");
    ASSERT_EQ(m_pty->BytesIn() - in, frame.size());
    // The last reply is the second frame's and is written after that frame has come in. The
    // decoder hands a message over at its end byte, before the two trailer bytes.
    std::vector<uint8_t> lastReply;
    ASSERT_TRUE(EncodeFrame(replies[2], lastReply));
    const double floorMs = (frame.size() + lastReply.size() - 2) * 12 * 1000.0 / 9600;
    EXPECT_GE(elapsedMs, floorMs) << "in " << frame.size() << " bytes, out "
                                  << m_pty->BytesOut() - out;
}

TEST_F(PtyRegisterTest, ControlSocketSwitchesFaultsAndReportsState) {
    StartRegister();
    EXPECT_EQ(ControlSocket("error SOFTNREP PREP"), "OK");
    m_line->Send("PREP1");
    EXPECT_EQ(m_line->Read(1), std::vector<std::string>{"SOFTNREP"});
    EXPECT_EQ(ControlSocket("error clear"), "OK");
    m_line->Send("PREP1");
    EXPECT_EQ(m_line->Read(1), std::vector<std::string>{"READY"});
    const std::string state = ControlSocket("state");
    EXPECT_EQ(state.rfind("STATE ", 0), 0u) << state;
    EXPECT_NE(state.find(" receipt=open "), std::string::npos) << state;

    EXPECT_EQ(ControlSocket("silence on"), "OK");
    m_line->WriteRaw({0x55});
    EXPECT_TRUE(m_line->Read(1, 200).empty());
    EXPECT_EQ(ControlSocket("silence off"), "OK");

    EXPECT_EQ(ControlSocket("delay 150"), "OK");
    const auto start = Clock::now();
    m_line->WriteRaw({0x55});
    EXPECT_EQ(m_line->Read(1), std::vector<std::string>{"READY"});
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(ControlSocket("bogus").rfind("ERR", 0), 0u);

    // an unsolicited message, as a register that reports a fault on its own
    EXPECT_EQ(ControlSocket("send HARDSENSOR"), "OK");
    EXPECT_EQ(m_line->Read(1), std::vector<std::string>{"HARDSENSOR"});
}

// A register that prints but whose answer is lost or late: the command is carried out in full;
// a late answer keeps the register busy, so what the server sends meanwhile is answered after it.
TEST_F(PtyRegisterTest, ASwallowedCommandIsCarriedOutButItsAnswerIsLostOrLate) {
    StartRegister();
    EXPECT_EQ(ControlSocket("swallow PREPX").rfind("ERR", 0), 0u);
    EXPECT_EQ(ControlSocket("swallow PREP 0").rfind("ERR", 0), 0u);
    EXPECT_EQ(ControlSocket("swallow PREP"), "OK");
    m_line->Send("PREP1");
    EXPECT_TRUE(m_line->Read(1, 300).empty());
    EXPECT_TRUE(m_pty->WithRegister([](Register& r) { return r.receiptOpen(); }));
    m_line->Send("CANC");  // one-shot: the next command is answered
    EXPECT_EQ(m_line->Read(1), std::vector<std::string>{"READY"});
    EXPECT_NE(ControlSocket("state").find(" cancelled=1 "), std::string::npos);
    EXPECT_NE(ControlSocket("state").find(" swallowed=1"), std::string::npos);

    EXPECT_EQ(ControlSocket("swallow CONf 500"), "OK");
    const auto start = Clock::now();
    m_line->Send("CONf");
    m_line->WriteRaw({0x55});
    m_line->Send("CNAL");
    EXPECT_TRUE(m_line->Read(1, 250).empty());  // the wake byte waits behind it too
    const std::vector<std::string> replies = m_line->Read(5, 3000);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(500));
    ASSERT_EQ(replies.size(), 5u);
    EXPECT_EQ(replies[0].substr(0, 4), "CONf");
    EXPECT_EQ(replies[1], "READY");
    EXPECT_EQ(replies[2], "READY");
    EXPECT_EQ(replies[3].substr(0, 4), "CNAL");
    EXPECT_EQ(replies[4], "READY");
    EXPECT_EQ(ControlSocket("swallow PREP"), "OK");
    EXPECT_EQ(ControlSocket("swallow off"), "OK");
    m_line->Send("PREP1");
    EXPECT_EQ(m_line->Read(1), std::vector<std::string>{"READY"});
}

}  // namespace
}  // namespace vsk::emu
