#include "server/certificate.h"

#include <fcntl.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "rpc/tls_stream.h"

namespace vsk {

namespace {

std::string ConfigFolder() {
    if (const char* c = std::getenv("XDG_CONFIG_HOME"); c && *c)
        return std::string(c) + "/vskmanager";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "/tmp") + "/.config/vskmanager";
}

bool WriteFile(const std::string& path, const gnutls_datum_t& data, mode_t mode) {
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
        return false;
    bool ok = write(fd, data.data, data.size) == ssize_t(data.size) && fsync(fd) == 0;
    close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace

std::string DefaultCertPath() {
    return ConfigFolder() + "/https-cert.pem";
}

std::string DefaultKeyPath() {
    return ConfigFolder() + "/https-key.pem";
}

bool MakeCertificate(const std::string& certPath, const std::string& keyPath,
                     std::string* fingerprint, std::string* error) {
    for (const std::string& path : {certPath, keyPath}) {
        std::error_code ec;
        const auto folder = std::filesystem::path(path).parent_path();
        if (!folder.empty() && !std::filesystem::exists(folder)) {
            std::filesystem::create_directories(folder, ec);
            chmod(folder.c_str(), 0700);
        }
    }
    gnutls_x509_privkey_t key = nullptr;
    gnutls_x509_crt_t crt = nullptr;
    gnutls_datum_t keyPem{}, crtPem{}, crtDer{};
    auto fail = [&](const std::string& what, int rc) {
        *error = what + ": " + gnutls_strerror(rc);
        return false;
    };
    bool ok = [&] {
        int rc;
        if ((rc = gnutls_x509_privkey_init(&key)) < 0 ||
            (rc = gnutls_x509_privkey_generate(
                 key, GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0)) < 0)
            return fail("cannot make a key", rc);
        if ((rc = gnutls_x509_crt_init(&crt)) < 0)
            return fail("cannot make a certificate", rc);
        char host[256] = "localhost";
        gethostname(host, sizeof host - 1);
        unsigned char serial[16];
        gnutls_rnd(GNUTLS_RND_NONCE, serial, sizeof serial);
        serial[0] &= 0x7f;
        const std::time_t now = std::time(nullptr);
        const unsigned char loopback[4] = {127, 0, 0, 1};
        if ((rc = gnutls_x509_crt_set_version(crt, 3)) < 0 ||
            (rc = gnutls_x509_crt_set_serial(crt, serial, sizeof serial)) < 0 ||
            (rc = gnutls_x509_crt_set_activation_time(crt, now - 3600)) < 0 ||
            (rc = gnutls_x509_crt_set_expiration_time(crt, now + 3650L * 24 * 3600)) < 0 ||
            (rc = gnutls_x509_crt_set_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, host,
                                                unsigned(strlen(host)))) < 0 ||
            (rc = gnutls_x509_crt_set_subject_alt_name(
                 crt, GNUTLS_SAN_DNSNAME, host, unsigned(strlen(host)), GNUTLS_FSAN_APPEND)) < 0 ||
            (rc = gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_DNSNAME, "localhost", 9,
                                                       GNUTLS_FSAN_APPEND)) < 0 ||
            (rc = gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_IPADDRESS, loopback, 4,
                                                       GNUTLS_FSAN_APPEND)) < 0 ||
            (rc = gnutls_x509_crt_set_key_usage(crt, GNUTLS_KEY_DIGITAL_SIGNATURE)) < 0 ||
            (rc = gnutls_x509_crt_set_key_purpose_oid(crt, GNUTLS_KP_TLS_WWW_SERVER, 0)) < 0 ||
            (rc = gnutls_x509_crt_set_basic_constraints(crt, 0, -1)) < 0 ||
            (rc = gnutls_x509_crt_set_key(crt, key)) < 0 ||
            (rc = gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0)) < 0)
            return fail("cannot sign the certificate", rc);
        if ((rc = gnutls_x509_privkey_export2(key, GNUTLS_X509_FMT_PEM, &keyPem)) < 0 ||
            (rc = gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &crtPem)) < 0)
            return fail("cannot write the certificate", rc);
        if ((rc = gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_DER, &crtDer)) < 0)
            return fail("cannot take the fingerprint", rc);
        // The same form the TCP listener's clients pin.
        *fingerprint = CertificateFingerprint(crtDer.data, crtDer.size);
        if (!WriteFile(keyPath, keyPem, 0600) || !WriteFile(certPath, crtPem, 0644)) {
            *error = "cannot write " + keyPath + " or " + certPath;
            return false;
        }
        return true;
    }();
    gnutls_free(keyPem.data);
    gnutls_free(crtPem.data);
    gnutls_free(crtDer.data);
    if (crt)
        gnutls_x509_crt_deinit(crt);
    if (key)
        gnutls_x509_privkey_deinit(key);
    return ok;
}

}  // namespace vsk
