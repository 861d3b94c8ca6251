#include "rpc/tls_stream.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <cctype>

#include "platform/text.h"

namespace vsk {

namespace {

gnutls_session_t S(void* p) {
    return static_cast<gnutls_session_t>(p);
}

gnutls_certificate_credentials_t C(void* p) {
    return static_cast<gnutls_certificate_credentials_t>(p);
}

bool IsIpAddress(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

std::string CertificateFingerprint(const void* der, size_t size) {
    gnutls_datum_t data{static_cast<unsigned char*>(const_cast<void*>(der)), unsigned(size)};
    unsigned char digest[32];
    size_t length = sizeof digest;
    if (gnutls_fingerprint(GNUTLS_DIG_SHA256, &data, digest, &length) < 0)
        return {};
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        if (i)
            text += ':';
        AppendHex(text, digest[i], HexCase::Upper);
    }
    return text;
}

std::optional<std::string> NormalizeFingerprint(std::string_view text) {
    std::string digits;
    for (char ch : text) {
        if (ch == ':' || ch == ' ')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(ch)))
            return std::nullopt;
        digits += char(std::toupper(static_cast<unsigned char>(ch)));
    }
    if (digits.size() != 64)
        return std::nullopt;
    std::string out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        if (i)
            out += ':';
        out += digits.substr(i, 2);
    }
    return out;
}

// ---- server credentials -------------------------------------------------------------------

std::shared_ptr<CTlsServerCredentials> CTlsServerCredentials::Load(const std::string& certFile,
                                                                   const std::string& keyFile,
                                                                   std::string* error) {
    std::shared_ptr<CTlsServerCredentials> creds(new CTlsServerCredentials);
    gnutls_certificate_credentials_t cred = nullptr;
    if (int rc = gnutls_certificate_allocate_credentials(&cred); rc < 0) {
        *error = std::string("cannot set up TLS: ") + gnutls_strerror(rc);
        return nullptr;
    }
    creds->m_cred = cred;
    if (int rc = gnutls_certificate_set_x509_key_file(cred, certFile.c_str(), keyFile.c_str(),
                                                      GNUTLS_X509_FMT_PEM);
        rc < 0) {
        *error = "cannot load the TLS certificate " + certFile + " with its key " + keyFile + ": " +
                 gnutls_strerror(rc);
        return nullptr;
    }
    gnutls_x509_crt_t* list = nullptr;
    unsigned count = 0;
    if (gnutls_certificate_get_x509_crt(cred, 0, &list, &count) >= 0 && count > 0) {
        gnutls_datum_t der{};
        if (gnutls_x509_crt_export2(list[0], GNUTLS_X509_FMT_DER, &der) >= 0) {
            creds->m_fingerprint = CertificateFingerprint(der.data, der.size);
            gnutls_free(der.data);
        }
        for (unsigned i = 0; i < count; ++i)
            gnutls_x509_crt_deinit(list[i]);
        gnutls_free(list);
    }
    return creds;
}

CTlsServerCredentials::~CTlsServerCredentials() {
    if (m_cred)
        gnutls_certificate_free_credentials(C(m_cred));
}

// ---- sessions -----------------------------------------------------------------------------

std::unique_ptr<CTlsSession> CTlsSession::Server(int fd,
                                                 std::shared_ptr<CTlsServerCredentials> credentials,
                                                 std::string* error) {
    std::unique_ptr<CTlsSession> s(new CTlsSession);
    gnutls_session_t session = nullptr;
    int rc = gnutls_init(&session, GNUTLS_SERVER | GNUTLS_NONBLOCK | GNUTLS_NO_SIGNAL);
    if (rc < 0) {
        *error = std::string("cannot start TLS: ") + gnutls_strerror(rc);
        return nullptr;
    }
    s->m_session = session;
    s->m_serverCred = std::move(credentials);
    if ((rc = gnutls_set_default_priority(session)) < 0 ||
        (rc = gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, C(s->m_serverCred->m_cred))) <
            0) {
        *error = std::string("cannot start TLS: ") + gnutls_strerror(rc);
        return nullptr;
    }
    gnutls_certificate_server_set_request(session, GNUTLS_CERT_IGNORE);
    // The listener's own pre-authentication deadline bounds the handshake.
    gnutls_handshake_set_timeout(session, 0);
    gnutls_transport_set_int(session, fd);
    return s;
}

std::unique_ptr<CTlsSession> CTlsSession::Client(int fd, const std::string& serverName,
                                                 const std::string& caFile, std::string* error) {
    std::unique_ptr<CTlsSession> s(new CTlsSession);
    gnutls_certificate_credentials_t cred = nullptr;
    int rc = gnutls_certificate_allocate_credentials(&cred);
    if (rc < 0) {
        *error = std::string("cannot set up TLS: ") + gnutls_strerror(rc);
        return nullptr;
    }
    s->m_ownCred = cred;
    if (!caFile.empty()) {
        rc = gnutls_certificate_set_x509_trust_file(cred, caFile.c_str(), GNUTLS_X509_FMT_PEM);
        if (rc <= 0) {
            *error = "cannot read a CA certificate from " + caFile +
                     (rc < 0 ? std::string(": ") + gnutls_strerror(rc) : std::string());
            return nullptr;
        }
    }
    gnutls_session_t session = nullptr;
    if ((rc = gnutls_init(&session, GNUTLS_CLIENT | GNUTLS_NONBLOCK | GNUTLS_NO_SIGNAL)) < 0) {
        *error = std::string("cannot start TLS: ") + gnutls_strerror(rc);
        return nullptr;
    }
    s->m_session = session;
    s->m_serverName = serverName;
    if ((rc = gnutls_set_default_priority(session)) < 0 ||
        (rc = gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, cred)) < 0) {
        *error = std::string("cannot start TLS: ") + gnutls_strerror(rc);
        return nullptr;
    }
    // Server name indication carries names only, never addresses.
    if (!serverName.empty() && !IsIpAddress(serverName))
        gnutls_server_name_set(session, GNUTLS_NAME_DNS, serverName.data(), serverName.size());
    if (!caFile.empty()) {
        gnutls_session_set_verify_cert(session, serverName.c_str(), 0);
        s->m_verifying = true;
    }
    gnutls_handshake_set_timeout(session, 0);
    gnutls_transport_set_int(session, fd);
    return s;
}

CTlsSession::~CTlsSession() {
    if (m_session)
        gnutls_deinit(S(m_session));
    if (m_ownCred)
        gnutls_certificate_free_credentials(C(m_ownCred));
}

CTlsSession::Step CTlsSession::Handshake(std::string* error) {
    for (;;) {
        int rc = gnutls_handshake(S(m_session));
        if (rc == GNUTLS_E_SUCCESS)
            return Step::Done;
        if (rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED)
            return WantsWrite() ? Step::WantWrite : Step::WantRead;
        if (!gnutls_error_is_fatal(rc))
            continue;  // a warning alert: the handshake goes on
        m_untrusted = rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR && m_verifying;
        if (error) {
            if (m_untrusted) {
                gnutls_datum_t why{};
                unsigned status = gnutls_session_get_verify_cert_status(S(m_session));
                if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &why,
                                                                 0) >= 0) {
                    *error = "the server's certificate is not trusted for " + m_serverName + ": " +
                             std::string(reinterpret_cast<char*>(why.data), why.size);
                    gnutls_free(why.data);
                } else {
                    *error = "the server's certificate is not trusted for " + m_serverName;
                }
            } else {
                *error = std::string("TLS handshake failed: ") + gnutls_strerror(rc);
            }
        }
        return Step::Failed;
    }
}

bool CTlsSession::WantsWrite() const {
    return gnutls_record_get_direction(S(m_session)) == 1;
}

CTlsSession::Received CTlsSession::Read(std::string& in, std::string* error) {
    char buf[16 * 1024 + 256];
    bool got = false;
    for (;;) {
        ssize_t n = gnutls_record_recv(S(m_session), buf, sizeof buf);
        if (n > 0) {
            in.append(buf, size_t(n));
            got = true;
            if (gnutls_record_check_pending(S(m_session)) > 0)
                continue;
            return Received::Data;
        }
        if (n == 0)
            return got ? Received::Data : Received::Closed;
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED)
            return got ? Received::Data : Received::Again;
        if (!gnutls_error_is_fatal(int(n))) {
            if (gnutls_record_check_pending(S(m_session)) > 0)
                continue;
            return got ? Received::Data : Received::Again;
        }
        if (error)
            *error = gnutls_strerror(int(n));
        // A peer that hangs up without saying goodbye has still ended the connection.
        if (n == GNUTLS_E_PREMATURE_TERMINATION)
            return got ? Received::Data : Received::Closed;
        return got ? Received::Data : Received::Failed;
    }
}

size_t CTlsSession::Pending() const {
    return gnutls_record_check_pending(S(m_session));
}

ssize_t CTlsSession::Send(const char* data, size_t size) {
    // After GNUTLS_E_AGAIN the same record is offered again, with the same length.
    size_t length = m_sending ? m_sending : std::min<size_t>(size, 16 * 1024);
    if (length > size)
        return -1;  // the caller's front changed under a record half sent
    for (;;) {
        ssize_t n = gnutls_record_send(S(m_session), data, length);
        if (n > 0) {
            m_sending = 0;
            return n;
        }
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
            m_sending = length;
            if (n == GNUTLS_E_AGAIN)
                return 0;
            continue;
        }
        return -1;
    }
}

void CTlsSession::Bye() {
    gnutls_bye(S(m_session), GNUTLS_SHUT_WR);
}

std::string CTlsSession::PeerFingerprint() const {
    unsigned count = 0;
    const gnutls_datum_t* certs = gnutls_certificate_get_peers(S(m_session), &count);
    if (!certs || count == 0)
        return {};
    return CertificateFingerprint(certs[0].data, certs[0].size);
}

}  // namespace vsk
