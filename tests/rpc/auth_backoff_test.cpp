#include "rpc/auth_backoff.h"

#include <gtest/gtest.h>

namespace vsk {
namespace {

using namespace std::chrono_literals;
const auto t0 = CAuthBackoff::Clock::time_point{} + 1h;

TEST(AuthBackoff, EachFailureDoublesTheWaitUpToTenSeconds) {
    CAuthBackoff backoff;
    backoff.Failed("10.0.0.7", t0);
    EXPECT_TRUE(backoff.MustWait("10.0.0.7", t0 + 99ms));
    EXPECT_FALSE(backoff.MustWait("10.0.0.7", t0 + 100ms));
    EXPECT_FALSE(backoff.MustWait("10.0.0.8", t0));  // per address
    backoff.Failed("10.0.0.7", t0);
    EXPECT_TRUE(backoff.MustWait("10.0.0.7", t0 + 199ms));
    for (int i = 0; i < 40; ++i)
        backoff.Failed("10.0.0.7", t0);
    EXPECT_TRUE(backoff.MustWait("10.0.0.7", t0 + 9999ms));
    EXPECT_FALSE(backoff.MustWait("10.0.0.7", t0 + 10s));
    backoff.Succeeded("10.0.0.7");
    EXPECT_FALSE(backoff.MustWait("10.0.0.7", t0));
    EXPECT_EQ(backoff.Size(), 0u);
}

// Off the loopback a peer is its address; on it, its user, or its address when the user is not
// known. Wrong tokens wait; a right one is admitted even in a wait, which it leaves for the
// guesser sharing the key, and after the wait it forgets the peer.
TEST(AuthBackoff, ARightTokenIsAdmittedAtOnceAndOnlyWrongOnesWait) {
    EXPECT_EQ(CAuthBackoff::PeerKey(false, 1000, "10.0.0.7"), "10.0.0.7");
    EXPECT_EQ(CAuthBackoff::PeerKey(true, 65534, "127.0.0.1"), "uid:65534");
    EXPECT_EQ(CAuthBackoff::PeerKey(true, std::nullopt, "127.0.0.1"), "127.0.0.1");
    using A = CAuthBackoff::Admission;
    CAuthBackoff backoff;
    const std::string key = "uid:65534";
    EXPECT_EQ(backoff.Attempt(key, false, t0), A::Wrong);
    EXPECT_EQ(backoff.Attempt(key, false, t0 + 50ms), A::Waiting);
    EXPECT_EQ(backoff.Attempt(key, true, t0 + 60ms), A::Admitted);
    EXPECT_EQ(backoff.Attempt(key, false, t0 + 70ms), A::Waiting) << "the wait stays";
    EXPECT_EQ(backoff.Attempt("uid:1000", false, t0 + 70ms), A::Wrong) << "per key";
    EXPECT_EQ(backoff.Attempt(key, false, t0 + 100ms), A::Wrong);
    EXPECT_TRUE(backoff.MustWait(key, t0 + 299ms)) << "the second failure doubles the wait";
    EXPECT_EQ(backoff.Attempt(key, true, t0 + 300ms), A::Admitted);
    EXPECT_EQ(backoff.Attempt(key, false, t0 + 300ms), A::Wrong) << "forgotten: first again";
    EXPECT_FALSE(backoff.MustWait(key, t0 + 400ms));
}

TEST(AuthBackoff, RefusalsAreReportedOnceAMinuteWithTheCountLeftOut) {
    CAuthBackoff backoff;
    int unreported = -1;
    EXPECT_TRUE(backoff.Report("::1", t0, &unreported));
    EXPECT_EQ(unreported, 0);
    EXPECT_FALSE(backoff.Report("::1", t0 + 1s, &unreported));
    EXPECT_FALSE(backoff.Report("::1", t0 + 59s, &unreported));
    EXPECT_TRUE(backoff.Report("127.0.0.2", t0 + 59s, &unreported));
    EXPECT_TRUE(backoff.Report("::1", t0 + 60s, &unreported));
    EXPECT_EQ(unreported, 2);
}

// A full table makes room by forgetting first the addresses whose wait and last report are over
// a minute past, and only when there are none the lowest address, waiting or not.
TEST(AuthBackoff, AFullTableForgetsTheLongQuietFirst) {
    CAuthBackoff backoff(3);
    int unreported = 0;
    backoff.Failed("a", t0);
    backoff.Failed("b", t0 + 50s);
    backoff.Report("c", t0, &unreported);
    backoff.Failed("d", t0 + 61s);  // a and c are quiet for over a minute, b is not
    EXPECT_EQ(backoff.Size(), 2u);
    EXPECT_FALSE(backoff.MustWait("a", t0));
    EXPECT_TRUE(backoff.MustWait("b", t0 + 50s));
    EXPECT_TRUE(backoff.MustWait("d", t0 + 61s));

    backoff.Failed("e", t0 + 62s);
    backoff.Failed("f", t0 + 62s);  // nobody is quiet: the lowest address, b, goes
    EXPECT_EQ(backoff.Size(), 3u);
    EXPECT_FALSE(backoff.MustWait("b", t0 + 50s));
    EXPECT_TRUE(backoff.MustWait("d", t0 + 61s));
    EXPECT_TRUE(backoff.MustWait("f", t0 + 62s));

    backoff.Failed("d", t0 + 63s);  // a known address takes no room
    EXPECT_EQ(backoff.Size(), 3u);
}

}  // namespace
}  // namespace vsk
