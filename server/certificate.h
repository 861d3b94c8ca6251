// A self-signed certificate for the HTTPS listener (vskmanager --make-cert), made with GnuTLS.
#pragma once

#include <string>

namespace vsk {

// Writes a new ECDSA P-256 key (mode 0600) and a certificate for this host's name, localhost
// and 127.0.0.1, valid ten years. *fingerprint: the certificate's SHA-256 as colon-separated
// hex, for clients to pin.
bool MakeCertificate(const std::string& certPath, const std::string& keyPath,
                     std::string* fingerprint, std::string* error);
// The default files: <config>/vskmanager/https-cert.pem and https-key.pem.
std::string DefaultCertPath();
std::string DefaultKeyPath();

}  // namespace vsk
