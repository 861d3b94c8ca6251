// TLS over a connected stream socket, on GnuTLS, for the TCP listener and its clients. The
// socket stays the caller's: a session never blocks (it reports what it waits for, and the
// caller polls), never closes the descriptor, and never raises SIGPIPE.
//
// The wire inside TLS is the same JSON-RPC lines as on a plain connection.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vsk {

// The SHA-256 of a certificate (DER) as colon-separated upper-case hex: what
// `vskmanager --make-cert` prints and what a client pins.
std::string CertificateFingerprint(const void* der, size_t size);
// A fingerprint as a person writes it (64 hex digits, colons anywhere or none, any case) in
// the form CertificateFingerprint gives; nullopt when it is not one.
std::optional<std::string> NormalizeFingerprint(std::string_view text);

// A server's certificate and private key, loaded once and shared by its sessions.
class CTlsServerCredentials {
public:
    static std::shared_ptr<CTlsServerCredentials> Load(const std::string& certFile,
                                                       const std::string& keyFile,
                                                       std::string* error);
    ~CTlsServerCredentials();
    CTlsServerCredentials(const CTlsServerCredentials&) = delete;
    CTlsServerCredentials& operator=(const CTlsServerCredentials&) = delete;
    // The certificate's fingerprint (as CertificateFingerprint gives it).
    const std::string& Fingerprint() const { return m_fingerprint; }

private:
    CTlsServerCredentials() = default;
    friend class CTlsSession;
    void* m_cred = nullptr;  // gnutls_certificate_credentials_t
    std::string m_fingerprint;
};

class CTlsSession {
public:
    enum class Step { Done, WantRead, WantWrite, Failed };
    enum class Received { Data, Again, Closed, Failed };

    // A server session on an accepted, non-blocking socket.
    static std::unique_ptr<CTlsSession> Server(int fd,
                                               std::shared_ptr<CTlsServerCredentials> credentials,
                                               std::string* error);
    // A client session on a connected, non-blocking socket. With a CA file the handshake checks
    // the server's chain against it and its certificate against serverName (a DNS name or an
    // IP address); without one it checks nothing: the caller then pins the fingerprint.
    static std::unique_ptr<CTlsSession> Client(int fd, const std::string& serverName,
                                               const std::string& caFile, std::string* error);
    ~CTlsSession();  // frees the session; the socket stays open
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    // One step of the handshake: Done, or what to poll for before the next step, or Failed
    // (*error says why: for a client, why the server's certificate was not trusted).
    Step Handshake(std::string* error);
    // After WantRead/WantWrite: which one the session waits for.
    bool WantsWrite() const;
    // After Failed: the server's certificate failed the CA file's check (not a broken
    // handshake).
    bool Untrusted() const { return m_untrusted; }

    // Appends to `in` what the peer has sent: one record from the socket and whatever GnuTLS
    // still holds decrypted, so nothing is left where poll cannot see it. Again: nothing whole
    // yet (poll for reading). Closed: the peer ended the connection.
    Received Read(std::string& in, std::string* error = nullptr);
    // Decrypted bytes the session holds that the socket no longer shows.
    size_t Pending() const;
    // Sends from the front of data: bytes sent (> 0), 0 when the socket is full (poll for
    // writing, then call again with the same front: the record already begun is finished
    // first), -1 when the connection failed.
    ssize_t Send(const char* data, size_t size);
    // Says goodbye if the socket takes it now; never waits.
    void Bye();

    // The SHA-256 fingerprint of the peer's certificate, empty when it showed none.
    std::string PeerFingerprint() const;

private:
    CTlsSession() = default;
    void* m_session = nullptr;  // gnutls_session_t
    void* m_ownCred = nullptr;  // a client's trust store (gnutls_certificate_credentials_t)
    std::shared_ptr<CTlsServerCredentials> m_serverCred;
    std::string m_serverName;
    size_t m_sending = 0;  // length of a record send that wanted the socket again
    bool m_verifying = false;
    bool m_untrusted = false;
};

}  // namespace vsk
