#pragma once
// The service's TLS identity: a private test CA and a server certificate for
// 127.0.0.1 and localhost that it signed. A client trusts the service by
// trusting the CA file alone.
#include <filesystem>

namespace tamsel::delivery {

struct CertificateFiles {
    std::filesystem::path caCertificate;      // ca.pem: what a client's --ca-file takes
    std::filesystem::path serverCertificate;  // server.pem
    std::filesystem::path serverKey;          // server-key.pem (mode 0600)
};

// Uses the three files in `directory` when they all exist; otherwise creates the
// directory (mode 0700) and writes a fresh CA and server certificate there.
// Throws std::runtime_error when a file cannot be written or OpenSSL fails.
CertificateFiles ensureCertificates(const std::filesystem::path& directory);

}  // namespace tamsel::delivery
