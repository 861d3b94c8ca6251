// CHttpFront: the opt-in HTTP/JSON listener (`--http HOST:PORT`). libmicrohttpd serves it on
// threads of its own (one per connection); a request never runs on a port worker nor on the
// automation loop. JSON-RPC is handed to the loop as request lines of a session connection of
// the CRpcServer (see PostSessionLine), and its thread waits for the replies; a whole receipt
// goes, typed, to the server's receipt desk. Either way a call over HTTP meets the same
// objects, port workers and lock queue as one over the socket.
//
//   POST /v1/rpc                   JSON-RPC requests (one or a batch) in a session of objects
//                                  named by the X-Vsk-Session header or the vsk_session cookie
//   POST /v1/ports/{n}/receipts    one whole receipt: lock, open, lines, close, unlock, sold
//                                  through the server's receipt desk (typed, no JSON-RPC)
//   GET  /v1/receipts?port=&since= the receipts ledger (&format=csv), a page at a time
//                                  (&limit=, &after= the last id of the page before)
//   POST /v1/ports/{n}/reports/x|z|periodic, /cash, /displays; PUT /v1/ports/{n}/clock
//                                  the day's operations, through the receipt desk
//   GET  /v1/ports/{n}/counters|clock|info   readings of the register, nothing printed
//   GET  /v1/ports/detect          the registers on the serial devices present (the server's
//                                  detector probes those that no program holds)
//   GET  /v1/openapi.json          the document of every route (http/openapi.json, built in)
//
// A POST that prints may carry Idempotency-Key: its answer is kept in the ledger and a repeat
// answers it again without printing.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "rpc/auth_backoff.h"
#include "rpc/json.h"

struct MHD_Daemon;

namespace vsk {

class CAdmission;
class CRpcServer;
class CLedger;
class IReceiptDesk;
class IPortDetector;
struct WholeReceipt;
struct ReceiptOutcome;
enum class DeskReading;

struct HttpOptions {
    std::string listen;                // HOST:PORT (port 0: any free port)
    std::string token;                 // the bearer of a peer off the loopback, or of another
                                       // user's on it
    std::string tlsCert, tlsKey;       // PEM texts: HTTPS when given
    bool insecure = false;             // plain HTTP off the loopback allowed
    std::vector<std::string> origins;  // browser origins allowed (CORS); none by default
    // Names besides its own addresses, the computer's name and localhost that a request's
    // Host may give the listener (a name rebound to one of its addresses is refused).
    std::vector<std::string> hosts;
    size_t maxBody = 1024 * 1024;
    std::chrono::seconds sessionIdle{300};
    size_t maxSessions = 256;
    // GET /v1/health (the JSON; *healthy decides 200 or 503) and GET /metrics (Prometheus
    // text); from the server, which knows the ports. Called on the listener's threads.
    std::function<std::string(bool* healthy)> health;
    std::function<std::string()> metrics;
    // GET /v1/status and the events of GET /v1/events: the status page's JSON.
    std::function<std::string()> status;
    // GET /v1/ports/{n}/last-receipt: the register's last receipt number asked now, as JSON
    // ({"number": N}, or {"number": null, "reason": "..."}).
    std::function<std::string(int port)> lastReceipt;
    // POST /v1/ports/{n}/receipts: where whole receipts are sold (none: not served).
    IReceiptDesk* desk = nullptr;
    // GET /v1/ports/detect: who probes the serial devices (none: not served).
    IPortDetector* detector = nullptr;
};

struct HttpReply {
    int status = 200;
    std::string body;  // JSON unless contentType says otherwise
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    bool events = false;  // a stream of server-sent events follows instead of the body
    bool cut = false;     // the server ended under the request: what it did is not known here
};

class CHttpFront {
public:
    // Both must outlive the front; `ledger` may be closed (no ledger, no idempotency).
    CHttpFront(CRpcServer& rpc, CLedger& ledger);
    ~CHttpFront();
    CHttpFront(const CHttpFront&) = delete;
    CHttpFront& operator=(const CHttpFront&) = delete;

    bool Start(const HttpOptions& options, std::string* error);
    int Port() const { return m_port; }
    // Answers every waiting request with 503 and stops serving; returns once no thread of the
    // listener is left. Run before the loop stops.
    void Stop();

    // One request, as the listener hands it over (public for the tests of the routing).
    struct Request {
        std::string method, path, query, body;
        std::map<std::string, std::string> headers;  // names in lower case
        bool loopback = false;
        std::string peer;
        std::string local;              // the address the peer reached (numeric)
        std::optional<uid_t> peerUser;  // the loopback peer's user, when it can be found
        bool tooLarge = false;
    };
    HttpReply Handle(const Request& request);

    // One row of the router: a path ("{n}" stands for a port number), the method it takes
    // (nullptr: any), whether a peer without the token may have it (what holds no data), and
    // what answers it.
    enum class Access : uint8_t { Token, Anyone };
    struct Route {
        const char* path;
        const char* method;
        Access access;
        HttpReply (CHttpFront::*answer)(const Request& request, int port);
    };
    // Every row, in the router's order (the API's document is checked against them).
    static const Route* Routes(size_t* count);
    size_t MaxBody() const { return m_options.maxBody; }
    // The next server-sent event (after waiting up to a second for a change); false when the
    // listener is ending. Every stream reads the same status, built at most once a second
    // whatever the number of streams.
    bool NextEvent(std::string* last, std::string* event, int* quietSeconds);
    // Who holds the listener's connections (libmicrohttpd's callbacks account to it).
    CAdmission& Admission() { return *m_admission; }

private:
    // Runs a keyed request: `key` is the full key ("" when none); *printed says whether it may
    // have printed (a request that did not keeps its key free).
    using KeyedRun = std::function<HttpReply(const std::string& key, bool* printed)>;
    static const Route kRoutes[];

    HttpReply Rpc(const Request& request, int port);
    HttpReply RunRpc(const Request& request);
    // `port`: where a whole receipt prints (0 for JSON-RPC); `settle` binds a port whose
    // receipts a killed server left for the register to settle.
    HttpReply WithKey(const Request& request, const std::string& scope, int port,
                      const std::function<std::string()>& canonicalBody, const KeyedRun& run,
                      const std::function<void(int port)>& settle);
    HttpReply Receipt(const Request& request, int port);
    // The refusal of a body that cannot print as it stands (nullopt: it may print).
    std::optional<HttpReply> CheckReceipt(const Json& body, WholeReceipt* receipt);
    static HttpReply OutcomeReply(const ReceiptOutcome& outcome, const WholeReceipt& receipt,
                                  int port);
    HttpReply Receipts(const Request& request, int port);
    HttpReply LastReceipt(const Request& request, int port);
    // The day's operations (reports, cash, the clock set, the displays) and readings
    // (counters, clock, printer information), through the receipt desk.
    HttpReply Operation(const Request& request, int port);
    HttpReply Reading(const Request& request, int port, DeskReading what);
    HttpReply Counters(const Request& request, int port);
    HttpReply Clock(const Request& request, int port);
    HttpReply Info(const Request& request, int port);
    HttpReply Detect(const Request& request, int port);  // http_detect.cpp
    // The routes that only hand over what the server reports.
    HttpReply Status(const Request& request, int port);
    HttpReply Events(const Request& request, int port);
    HttpReply Health(const Request& request, int port);
    HttpReply Metrics(const Request& request, int port);
    // The page at "/" and the API's document: no data, for any peer.
    HttpReply StatusPage(const Request& request, int port);
    HttpReply Document(const Request& request, int port);
    // The row `request` is for (nullptr: none) and the port its path names.
    static const Route* RouteOf(const Request& request, int* port);
    HttpReply Answer(const Request& request);
    // One JSON-RPC line in `session`; the reply line ("" when the server is ending).
    std::string Call(const std::string& session, const std::string& line);
    std::string NewSessionName();
    void Sweep();
    bool Authorised(const Request& request, HttpReply* refusal);
    // The refusal of a request whose Host or Origin is not this listener's (nullopt: neither).
    std::optional<HttpReply> Misdirected(const Request& request) const;
    // Whether "name[:port]" names this listener for a peer that reached it at `local`.
    bool OwnAuthority(std::string_view authority, const std::string& local) const;

    CRpcServer& m_rpc;
    CLedger& m_ledger;
    HttpOptions m_options;
    MHD_Daemon* m_daemon = nullptr;
    int m_port = 0;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_ending = false;
    // Where the loop's replies meet the threads waiting for them.
    struct Replies {
        std::mutex mutex;
        std::condition_variable cv;
        bool ending = false;
    };
    std::shared_ptr<Replies> m_replies = std::make_shared<Replies>();
    std::map<std::string, std::chrono::steady_clock::time_point> m_sessions;  // idle since
    std::map<std::string, int> m_busySessions;  // requests under way per session
    // Failed bearer tokens of one peer make its next requests wait, doubling up to a cap.
    CAuthBackoff m_failures;  // per peer (CAuthBackoff::PeerKey), under m_mutex
    const uid_t m_user;       // whose loopback peers need no token
    std::string m_hostName;   // the computer's name, in lower case
    std::thread m_sweeper;
    // The status the event streams share: the one in hand and when it was built, and whether
    // a stream's thread is building the next one (under m_mutex; m_feedChanged tells them).
    struct EventFeed {
        std::string status;
        std::chrono::steady_clock::time_point builtAt{};
        bool building = false;
    };
    EventFeed m_feed;
    std::condition_variable m_feedChanged;
    std::unique_ptr<CAdmission> m_admission;
};

}  // namespace vsk
