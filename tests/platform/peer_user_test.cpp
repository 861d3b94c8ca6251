#include "platform/peer_user.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// A listening loopback socket on a free port.
int Listen(sockaddr_in* addr) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr->sin_port = 0;
    socklen_t len = sizeof *addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(addr), len) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(addr), &len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The user the listener sees behind a connection made by a child running as `uid` (none: as
// this process's user).
std::optional<uid_t> UserBehindChild(std::optional<uid_t> uid) {
    sockaddr_in addr{};
    const int listener = Listen(&addr);
    int hold[2];
    if (listener < 0 || pipe(hold) != 0)
        return std::nullopt;
    const pid_t pid = fork();
    if (pid == 0) {
        close(hold[1]);
        if (uid && (setgroups(0, nullptr) != 0 || setgid(*uid) != 0 || setuid(*uid) != 0))
            _exit(98);
        const int c = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            _exit(97);
        char b;
        (void)!read(hold[0], &b, 1);  // keeps the connection until the parent has asked
        _exit(0);
    }
    close(hold[0]);
    const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const std::optional<uid_t> seen = conn >= 0 ? vsk::LocalPeerUser(conn) : std::nullopt;
    close(hold[1]);
    waitpid(pid, nullptr, 0);
    if (conn >= 0)
        close(conn);
    close(listener);
    return seen;
}

TEST(PeerUserTest, TheKernelNamesTheUserBehindALoopbackConnection) {
    EXPECT_EQ(UserBehindChild(std::nullopt), geteuid());
    if (geteuid() != 0)
        GTEST_SKIP() << "another user needs root to play";
    EXPECT_EQ(UserBehindChild(uid_t(65534)), uid_t(65534));
}

TEST(PeerUserTest, NoUserIsNamedForWhatIsNotAConnection) {
    sockaddr_in addr{};
    const int listener = Listen(&addr);
    EXPECT_EQ(vsk::LocalPeerUser(listener), std::nullopt);  // listening: no peer
    close(listener);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(vsk::LocalPeerUser(pair[0]), std::nullopt);  // not TCP
    close(pair[0]);
    close(pair[1]);
    EXPECT_EQ(vsk::LocalPeerUser(-1), std::nullopt);
}

}  // namespace
