// vsk-http-crowd: a hostile crowd against an HTTP listener on the loopback, for the tests and
// the benchmark (which start it as another user). It opens COUNT connections of one KIND,
// holds them for HOLD_MS and prints what became of them on one line:
//
//   opened=N refused=R cut=C busy=B served=S open=O
//
// refused: closed unanswered within a second of connecting (or not connected at all); cut:
// closed unanswered later (after "ready", printed once all are opened); busy: answered 503; served:
// answered 200; open: still open, unanswered, at the end.
//
//   vsk-http-crowd idle|trickle|events|deaf|tls PORT COUNT HOLD_MS
//
// idle: connects and sends nothing; trickle: a request line, then a byte of a header every
// 250 ms; events: GET /v1/events, read as it comes; deaf: GET /v1/events with a small receive
// buffer, never read; tls: the first bytes of a TLS handshake, then nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Peer {
    int fd = -1;
    Clock::time_point opened;
    int status = 0;      // the HTTP status answered, 0 while none
    long closedMs = -1;  // after opening, -1 while open
    std::string head;
};

long MsSince(Clock::time_point t) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

int Connect(int port, bool smallBuffer) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (smallBuffer) {
        const int size = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// What reached us: the status once the status line is in; the end of the connection.
void Take(Peer& p, bool deaf, short revents) {
    char buf[4096];
    const bool peek = deaf && p.status == 0;
    if (deaf && p.status != 0) {
        // A deaf reader that has seen its status: only whether the server ended it.
        if (revents & (POLLRDHUP | POLLHUP | POLLERR))
            p.closedMs = MsSince(p.opened);
        return;
    }
    const ssize_t n = recv(p.fd, buf, sizeof buf, peek ? MSG_PEEK | MSG_DONTWAIT : MSG_DONTWAIT);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            p.closedMs = MsSince(p.opened);
        return;
    }
    if (p.status == 0) {
        p.head.assign(buf, size_t(n));
        if (p.head.rfind("HTTP/1.1 ", 0) == 0 && p.head.size() >= 12)
            p.status = std::atoi(p.head.c_str() + 9);
    }
}

}  // namespace

int main(int argc, char** argv) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // the crowd never outlives its test
    signal(SIGPIPE, SIG_IGN);
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr,
                     "usage: vsk-http-crowd idle|trickle|events|deaf|tls PORT COUNT "
                     "HOLD_MS [TOKEN]\n");
        return 2;
    }
    const std::string kind = argv[1];
    const int port = std::atoi(argv[2]), count = std::atoi(argv[3]), holdMs = std::atoi(argv[4]);
    const bool deaf = kind == "deaf";
    // The listener's own Host and, for another user of the computer, the token: the crowd is a
    // greedy client the server must admit, not one it can refuse at the door.
    std::string head = "HTTP/1.1\r\nHost: 127.0.0.1:" + std::string(argv[2]) + "\r\n";
    if (argc == 6)
        head += "Authorization: Bearer " + std::string(argv[5]) + "\r\n";
    std::string first;
    if (kind == "trickle")
        first = "GET /v1/health " + head + "X-Slow: ";
    else if (kind == "events" || deaf)
        first = "GET /v1/events " + head + "\r\n";
    else if (kind == "tls")
        first = std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
    else if (kind != "idle")
        return 2;
    std::vector<Peer> peers(size_t(std::max(0, count)));
    int refusedAtConnect = 0;
    for (Peer& p : peers) {
        p.opened = Clock::now();
        p.fd = Connect(port, deaf);
        if (p.fd < 0) {
            ++refusedAtConnect;
            p.closedMs = 0;
        } else if (!first.empty()) {
            send(p.fd, first.data(), first.size(), MSG_NOSIGNAL);
        }
    }
    std::printf("ready\n");  // the test's till starts now
    std::fflush(stdout);
    const auto end = Clock::now() + std::chrono::milliseconds(holdMs);
    auto nextByte = Clock::now();
    while (Clock::now() < end) {
        std::vector<pollfd> fds;
        std::vector<Peer*> of;
        for (Peer& p : peers)
            if (p.closedMs < 0) {
                fds.push_back({p.fd, short(deaf && p.status != 0 ? POLLRDHUP : POLLIN), 0});
                of.push_back(&p);
            }
        if (fds.empty())
            break;
        poll(fds.data(), fds.size(), 50);
        for (size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents)
                Take(*of[i], deaf, fds[i].revents);
        if (kind == "trickle" && Clock::now() >= nextByte) {
            for (Peer* p : of)
                send(p->fd, "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            nextByte = Clock::now() + std::chrono::milliseconds(250);
        }
    }
    int refused = refusedAtConnect, cut = 0, busy = 0, served = 0, open = 0;
    for (Peer& p : peers) {
        if (p.fd < 0)
            continue;
        if (p.status == 503)
            ++busy;
        else if (p.status == 200)
            ++served;
        else if (p.closedMs >= 0 && p.closedMs < 1000)
            ++refused;
        else if (p.closedMs >= 0)
            ++cut;
        else
            ++open;
        close(p.fd);
    }
    std::printf("opened=%d refused=%d cut=%d busy=%d served=%d open=%d\n", count - refusedAtConnect,
                refused, cut, busy, served, open);
    return 0;
}
