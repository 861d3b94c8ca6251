// The user on this computer who owns the other end of a loopback TCP connection. A loopback
// address says only that the peer runs here, not who runs it: the kernel's socket diagnostics
// (an inet_diag query over netlink) name the uid that owns the peer's socket.
#pragma once

#include <sys/types.h>

#include <optional>

namespace vsk {

// The uid owning the peer's socket of the connected TCP socket `fd`, when the peer is on this
// computer and the kernel answers; nullopt otherwise (callers treat an unknown user as a
// stranger). Bounded: the query is answered by the kernel at once, and a reply that does not
// come within a fraction of a second counts as no answer.
std::optional<uid_t> LocalPeerUser(int fd);

}  // namespace vsk
