// Shared helpers of the automation tests: a private temporary folder pointed to by the
// environment variables the runtime reads, and a raw line client for the wire.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "rpc/json.h"
#include "rpc/rpc_server.h"

namespace vsk::test {

class TempEnv {
public:
    TempEnv() {
        char tmpl[] = "/tmp/vsk-automation-XXXXXX";
        m_dir = mkdtemp(tmpl);
        for (const char* sub : {"/run", "/config", "/registry", "/state"})
            std::filesystem::create_directories(m_dir + sub);
        setenv("XDG_RUNTIME_DIR", (m_dir + "/run").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_dir + "/config").c_str(), 1);
        setenv("XDG_STATE_HOME", (m_dir + "/state").c_str(), 1);
        setenv("ProgramData", (m_dir + "/state").c_str(), 1);
        setenv("VSK_REGISTRY_DIR", (m_dir + "/registry").c_str(), 1);
        unsetenv("VSK_TOKEN_FILE");
        unsetenv("VSK_TLS_CA");
        unsetenv("VSK_TLS_FINGERPRINT");
        unsetenv("VSK_INSECURE");
    }
    ~TempEnv() { std::filesystem::remove_all(m_dir); }
    const std::string& Dir() const { return m_dir; }
    std::string RuntimeDir() const { return m_dir + "/run/vskmanager"; }

private:
    std::string m_dir;
};

inline int ConnectUnixRaw(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends raw bytes and serves them on this thread until one reply line arrives (or the server
// closes the connection: then the result is empty).
inline std::string Exchange(CRpcServer& server, int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 0) > 0) {
            ssize_t n =
                send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EAGAIN)
                n = 0;
            if (n < 0)
                return {};
            done += size_t(n);
        }
        server.RunOnce(5);
    }
    std::string line;
    for (int i = 0; i < 2000; ++i) {
        server.RunOnce(5);
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 0) > 0) {
            char c;
            if (recv(fd, &c, 1, 0) != 1)
                return line;
            if (c == '\n')
                return line;
            line += c;
        }
    }
    return line;
}

inline Json ExchangeJson(CRpcServer& server, int fd, const std::string& request) {
    std::string reply = Exchange(server, fd, request + "\n");
    auto parsed = Json::Parse(reply);
    return parsed ? *parsed : Json();
}

inline int64_t ErrorCode(const Json& reply) {
    const Json* e = reply.Find("error");
    const Json* code = e ? e->Find("code") : nullptr;
    return code && code->IsInt() ? code->AsInt() : 0;
}

}  // namespace vsk::test
