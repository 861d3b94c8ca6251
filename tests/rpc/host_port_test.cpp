#include "rpc/host_port.h"

#include <gtest/gtest.h>

namespace vsk {
namespace {

// What the listeners, the clients and the programs' command lines take: a host alone gets the
// default port, and the split is at the last colon with an IPv6 address's brackets taken off.
TEST(HostPort, EveryFormTheCommandLinesTake) {
    const struct {
        const char* given;
        const char* defaulted;  // WithDefaultTcpPort
        const char* host;       // SplitHostPort of the defaulted form; nullptr: refused
        const char* port;
    } rows[] = {
        {"127.0.0.1:0", "127.0.0.1:0", "127.0.0.1", "0"},
        {"till-2:8080", "till-2:8080", "till-2", "8080"},
        {"till-2", "till-2:45711", "till-2", "45711"},
        {"10.0.0.7", "10.0.0.7:45711", "10.0.0.7", "45711"},
        {":0", ":0", "", "0"},  // every address
        {"", ":45711", "", "45711"},
        {"[::1]:45712", "[::1]:45712", "::1", "45712"},
        {"[::1]", "[::1]:45711", "::1", "45711"},
        {"::1", "[::1]:45711", "::1", "45711"},
        {"fe80::1:80", "[fe80::1:80]:45711", "fe80::1:80", "45711"},  // no port without brackets
        // Unbalanced brackets: left to the resolver to refuse.
        {"[::1", "[::1", "[:", "1"},
        {"[::1:80", "[::1:80", "[::1", "80"},
        {"[]:80", "[]:80", "", "80"},
        {"host:", "host:", "host", ""},
        {"[till-2", "[till-2", nullptr, nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.given);
        const std::string defaulted = WithDefaultTcpPort(r.given);
        EXPECT_EQ(defaulted, r.defaulted);
        const auto split = SplitHostPort(defaulted);
        ASSERT_EQ(split.has_value(), r.host != nullptr);
        if (split) {
            EXPECT_EQ(split->host, r.host);
            EXPECT_EQ(split->port, r.port);
        }
    }
    EXPECT_FALSE(SplitHostPort("till-2"));  // the HTTP listener and vskctl --health want a port
    EXPECT_EQ(SplitHostPort("::1:5555")->host, "::1");  // a peer's address as the system writes it
}

TEST(HostPort, TheAddressAListenerGot) {
    EXPECT_EQ(WithPort("127.0.0.1:0", 40123), "127.0.0.1:40123");
    EXPECT_EQ(WithPort("[::1]:0", 40123), "[::1]:40123");
    EXPECT_EQ(WithPort(":0", 40123), ":40123");
    EXPECT_EQ(WithPort("till-2", 40123), "till-2:40123");
    EXPECT_EQ(JoinHostPort("::1", "80"), "[::1]:80");
    EXPECT_EQ(JoinHostPort("till-2", "80"), "till-2:80");
}

}  // namespace
}  // namespace vsk
