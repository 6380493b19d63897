#include "tools/delivery-service/Certificates.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace tamsel::delivery {
namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(std::FILE* p) const { std::fclose(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Cert = std::unique_ptr<X509, Free>;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("certificate generation: " + what);
}

Key newKey() {
    Key key(EVP_EC_gen("P-256"));
    if (!key) fail("key generation failed");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, Free> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) fail("extension " + std::to_string(nid));
}

Cert newCertificate(EVP_PKEY* subjectKey, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                    long validDays) {
    Cert cert(X509_new());
    if (!cert) fail("X509_new");
    X509_set_version(cert.get(), 2);
    std::unique_ptr<BIGNUM, Free> serial(BN_new());
    if (!serial || BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())))
        fail("serial");
    // Backdated an hour so a client whose clock is a little behind still accepts it.
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), validDays * 86400);
    X509_set_pubkey(cert.get(), subjectKey);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Tamsel"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName),
                               -1, -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer) {
        addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        addExtension(cert.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    } else {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    if (X509_sign(cert.get(), issuerKey, EVP_sha256()) == 0) fail("signing");
    return cert;
}

std::unique_ptr<std::FILE, Free> openForWriting(const std::filesystem::path& path, mode_t mode) {
    std::filesystem::remove(path);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) fail("cannot create " + path.string());
    std::unique_ptr<std::FILE, Free> file(fdopen(fd, "w"));
    if (!file) {
        ::close(fd);
        fail("cannot open " + path.string());
    }
    return file;
}

void writeCertificate(const std::filesystem::path& path, X509* cert) {
    auto file = openForWriting(path, 0644);
    if (PEM_write_X509(file.get(), cert) != 1 || std::fflush(file.get()) != 0)
        fail("cannot write " + path.string());
}

void writeKey(const std::filesystem::path& path, EVP_PKEY* key) {
    auto file = openForWriting(path, 0600);
    if (PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        std::fflush(file.get()) != 0)
        fail("cannot write " + path.string());
}

}  // namespace

CertificateFiles ensureCertificates(const std::filesystem::path& directory) {
    CertificateFiles files{directory / "ca.pem", directory / "server.pem", directory / "server-key.pem"};
    if (std::filesystem::exists(files.caCertificate) && std::filesystem::exists(files.serverCertificate) &&
        std::filesystem::exists(files.serverKey))
        return files;

    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) fail("cannot create " + directory.string());
    ::chmod(directory.c_str(), 0700);

    Key caKey = newKey();
    Cert ca = newCertificate(caKey.get(), "Tamsel Delivery Test CA", nullptr, caKey.get(), 3650);
    Key serverKey = newKey();
    Cert server = newCertificate(serverKey.get(), "localhost", ca.get(), caKey.get(), 825);
    // The CA's own key is not kept: nothing else is ever signed with it.
    writeKey(files.serverKey, serverKey.get());
    writeCertificate(files.serverCertificate, server.get());
    writeCertificate(files.caCertificate, ca.get());
    return files;
}

}  // namespace tamsel::delivery
