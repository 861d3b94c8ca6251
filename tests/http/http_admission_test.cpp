#include "http/http_admission.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace vsk {
namespace {

using namespace std::chrono_literals;
using Clock = CAdmission::Clock;

// One connection as the listener sees it: our end is the server's socket, `client` the peer's.
struct Pair {
    int server = -1, client = -1;
    Pair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        server = fds[0];
        client = fds[1];
    }
    ~Pair() {
        close(server);
        if (client >= 0)
            close(client);
    }
    // Whether the server's end was shut down: the peer reads the end at once.
    bool ShutDown() const {
        char c;
        return recv(client, &c, 1, MSG_DONTWAIT) == 0;
    }
};

CAdmission::Limits Small() {
    CAdmission::Limits l;
    l.connections = 10;
    l.perPeer = 4;
    l.reserved = 4;
    l.few = 2;
    l.streams = 2;
    l.streamsPerPeer = 1;
    l.headers = 4s;
    l.body = 20s;
    l.stalled = 4s;
    return l;
}

// The per-peer cap, then the reserve: once only the reserve is left, a peer holding few still
// gets in and one holding more does not; a full listener takes no one; a close frees a place.
TEST(Admission, APeerPastItsShareOrIntoTheReserveIsShutOut) {
    CAdmission admission(Small());
    const auto t = Clock::now();
    std::vector<Pair> pairs(16);
    std::vector<CAdmission::Connection*> held;
    auto admit = [&](size_t i, const char* peer) {
        CAdmission::Connection* c = admission.Admit(pairs[i].server, peer, t);
        EXPECT_EQ(c == nullptr, pairs[i].ShutDown()) << i;
        held.push_back(c);
        return c != nullptr;
    };
    for (size_t i = 0; i < 4; ++i)
        EXPECT_TRUE(admit(i, "user:1"));
    EXPECT_FALSE(admit(4, "user:1")) << "past the peer's cap";
    EXPECT_TRUE(admit(5, "user:2"));
    EXPECT_TRUE(admit(6, "user:2"));
    EXPECT_EQ(admission.Count(), 6u);
    EXPECT_FALSE(admit(7, "user:2")) << "only the reserve is left and user:2 holds two";
    EXPECT_TRUE(admit(8, "addr:10.0.0.9"));
    EXPECT_TRUE(admit(9, "addr:10.0.0.9"));
    EXPECT_TRUE(admit(10, "user:3"));
    EXPECT_TRUE(admit(11, "user:3"));
    EXPECT_FALSE(admit(12, "user:4")) << "the listener is full";
    admission.Closed(held[0]);
    held[0] = nullptr;
    admission.Closed(nullptr);  // a refused connection's close
    EXPECT_EQ(admission.CountOf("user:1"), 3u);
    EXPECT_TRUE(admit(13, "user:4"));
    for (CAdmission::Connection* c : held)
        admission.Closed(c);
    EXPECT_EQ(admission.Count(), 0u);
    EXPECT_EQ(admission.CountOf("user:2"), 0u);
}

// Deadlines: the headers within their time of the start, the body within its time of the
// headers, none while a request is answered, and the next request's headers after its end.
TEST(Admission, TheSweeperCutsWhatIsLateAndOnlyThat) {
    CAdmission admission(Small());
    const auto t = Clock::now();
    Pair silent, slowBody, answered;
    auto* a = admission.Admit(silent.server, "user:1", t);
    auto* b = admission.Admit(slowBody.server, "user:1", t);
    auto* c = admission.Admit(answered.server, "user:1", t);
    admission.HeadersIn(b, t + 1s);
    admission.HeadersIn(c, t + 1s);
    admission.BodyIn(c);
    EXPECT_EQ(admission.Sweep(t + 3s), 0);
    EXPECT_EQ(admission.Sweep(t + 5s), 1);
    EXPECT_TRUE(silent.ShutDown());
    EXPECT_FALSE(slowBody.ShutDown());
    EXPECT_EQ(admission.Sweep(t + 5s), 0) << "a connection is cut once";
    EXPECT_EQ(admission.Sweep(t + 22s), 1);
    EXPECT_TRUE(slowBody.ShutDown());
    EXPECT_FALSE(answered.ShutDown()) << "a request being answered has no deadline";
    admission.RequestEnded(c, t + 30s);
    EXPECT_EQ(admission.Sweep(t + 33s), 0);
    EXPECT_EQ(admission.Sweep(t + 35s), 1);
    EXPECT_TRUE(answered.ShutDown());
    EXPECT_TRUE(admission.Cut(c));
    for (auto* x : {a, b, c})
        admission.Closed(x);
}

// Event streams: within their caps; one whose last event does not leave, or whose reader hung
// up, is dropped; one waiting for its next event is not.
TEST(Admission, StreamsAreCappedAndDroppedWhenTheirReaderStops) {
    CAdmission admission(Small());
    const auto t = Clock::now();
    Pair reading, deaf, second, gone, third;
    auto* r = admission.Admit(reading.server, "user:1", t);
    auto* d = admission.Admit(deaf.server, "user:2", t);
    auto* s = admission.Admit(second.server, "user:2", t);
    auto* g = admission.Admit(gone.server, "user:3", t);
    for (auto* x : {r, d, s, g})
        admission.BodyIn(x);
    EXPECT_TRUE(admission.OpenStream(r, t));
    EXPECT_TRUE(admission.OpenStream(d, t));
    EXPECT_FALSE(admission.OpenStream(s, t)) << "user:2 has its stream";
    EXPECT_FALSE(admission.OpenStream(g, t)) << "the listener has its streams";
    admission.Closed(r);  // its stream's place is free again
    EXPECT_FALSE(admission.OpenStream(s, t)) << "user:2 still has its stream after a refusal";
    EXPECT_TRUE(admission.OpenStream(g, t));

    admission.StreamProgress(g, true, t + 1s);   // waits for its next event
    admission.StreamProgress(d, false, t + 1s);  // handed one over that never leaves
    EXPECT_EQ(admission.Sweep(t + 4s), 0);
    EXPECT_EQ(admission.Sweep(t + 6s), 1);
    EXPECT_TRUE(deaf.ShutDown());
    EXPECT_FALSE(gone.ShutDown());
    close(gone.client);
    gone.client = -1;
    EXPECT_EQ(admission.Sweep(t + 6s), 1) << "a reader that hung up";
    EXPECT_TRUE(admission.Cut(g));
    for (auto* x : {d, s, g})
        admission.Closed(x);
    EXPECT_EQ(admission.Count(), 0u);
}

}  // namespace
}  // namespace vsk
