// A pseudo-terminal pair for serial tests: the test plays the register on the master side and
// the code under test opens the slave path as its port.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace vsk::test {

struct PseudoTerminal {
    int master = -1;
    std::string slave;

    PseudoTerminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            slave = ptsname(master);
        }
    }
    ~PseudoTerminal() { CloseMaster(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    void CloseMaster() {
        if (master >= 0) {
            close(master);
            master = -1;
        }
    }
    bool Send(const std::string& bytes) {
        return write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // What the port wrote: reads until `count` bytes came or none arrive for `timeoutMs`.
    std::string Drain(size_t count, int timeoutMs = 1000) {
        std::string got;
        while (got.size() < count) {
            pollfd pfd{master, POLLIN, 0};
            if (poll(&pfd, 1, timeoutMs) <= 0) {
                break;
            }
            char buf[512];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
};

}  // namespace vsk::test
