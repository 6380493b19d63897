#include "tests/support/TlsTestServer.h"

#include <httplib.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/linux/CurlHTTPSession.h"
#include "tests/support/ScratchDirectory.h"

namespace tamsel::platform::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kServerThreads = 16;

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string("test TLS setup: ") + what); }

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertDeleter {
    void operator()(X509* cert) const { X509_free(cert); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Cert = std::unique_ptr<X509, CertDeleter>;

Key makeKey() {
    Key key(EVP_EC_gen("P-256"));
    if (!key) fail("key generation");
    return key;
}

// A certificate for `key`, signed by the issuer (or by itself when there is none).
Cert makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                     const std::vector<std::pair<int, const char*>>& extensions) {
    Cert cert(X509_new());
    if (!cert || !X509_set_version(cert.get(), 2)) fail("certificate");
    std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(BN_new(), BN_free);
    if (!serial || !BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())))
        fail("serial number");
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7 * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Tamsel tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName),
                               -1, -1, 0);
    if (!X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name) ||
        !X509_set_pubkey(cert.get(), key))
        fail("certificate names");
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : extensions) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        if (!extension || !X509_add_ext(cert.get(), extension, -1)) fail("certificate extension");
        X509_EXTENSION_free(extension);
    }
    if (!X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256())) fail("signature");
    return cert;
}

void writePem(const std::filesystem::path& path, X509* cert) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file || !PEM_write_X509(file, cert)) fail("writing a certificate");
    std::fclose(file);
}

void writePem(const std::filesystem::path& path, EVP_PKEY* key) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file || !PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr))
        fail("writing a key");
    std::fclose(file);
}

const std::filesystem::path& scratch() {
    // Every generated file of this process, removed at exit.
    static tamsel::testing::ScratchDirectory directory;
    return directory.path();
}

TestCertificates makeCertificates(const std::string& name) {
    Key caKey = makeKey();
    Cert ca = makeCertificate(caKey.get(), ("Tamsel test CA " + name).c_str(), nullptr, nullptr,
                              {{NID_basic_constraints, "critical,CA:TRUE"},
                               {NID_key_usage, "critical,keyCertSign,cRLSign"},
                               {NID_subject_key_identifier, "hash"}});
    Key serverKey = makeKey();
    Cert server = makeCertificate(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(),
                                  {{NID_basic_constraints, "critical,CA:FALSE"},
                                   {NID_key_usage, "critical,digitalSignature"},
                                   {NID_ext_key_usage, "serverAuth"},
                                   {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                                   {NID_subject_key_identifier, "hash"},
                                   {NID_authority_key_identifier, "keyid:always"}});
    TestCertificates out;
    out.caFile = scratch() / (name + "-ca.pem");
    out.certFile = scratch() / (name + "-server.pem");
    out.keyFile = scratch() / (name + "-server-key.pem");
    writePem(out.caFile, ca.get());
    writePem(out.certFile, server.get());
    writePem(out.keyFile, serverKey.get());
    return out;
}

}  // namespace

const TestCertificates& TestCertificates::trusted() {
    static const TestCertificates certificates = makeCertificates("trusted");
    return certificates;
}

const TestCertificates& TestCertificates::untrusted() {
    static const TestCertificates certificates = makeCertificates("untrusted");
    return certificates;
}

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    HTTPResponse view;
    view.headers = headers;
    return view.header(name);
}

ScriptedResponse ScriptedResponse::envelope(const Json& data, const std::string& schema) {
    ScriptedResponse out;
    out.status = 200;
    out.headers = {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}};
    out.body = Json{{"success", true}, {"data", data}, {"meta", {{"schema", schema}}}}.dump();
    return out;
}

ScriptedResponse ScriptedResponse::json(int status, const Json& body, HTTPHeaders headers) {
    ScriptedResponse out;
    out.status = status;
    out.headers = std::move(headers);
    setHeader(out.headers, "Content-Type", "application/json");
    out.body = body.dump();
    return out;
}

struct TlsTestServer::Impl {
    explicit Impl(const TestCertificates& certificates)
        : server(certificates.certFile.c_str(), certificates.keyFile.c_str()) {}

    // Sleeps for `duration` unless the server stops first; false when it stopped.
    bool pause(std::chrono::milliseconds duration) {
        std::unique_lock lock(mutex);
        return !changed.wait_for(lock, duration, [&] { return stopping; });
    }

    void handle(const httplib::Request& request, httplib::Response& response);

    httplib::SSLServer server;
    std::thread thread;
    int port = -1;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<RecordedRequest> received;
    Handler handler;
    bool stopping = false;
    bool stopped = false;
};

void TlsTestServer::Impl::handle(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest record;
    record.method = request.method;
    record.target = request.target;
    record.path = request.target.substr(0, request.target.find('?'));
    for (const auto& [name, value] : request.headers) record.headers.emplace_back(name, value);
    record.body = request.body;
    record.remotePort = request.remote_port;
    Handler current;
    {
        std::lock_guard lock(mutex);
        received.push_back(record);
        current = handler;
    }
    changed.notify_all();

    ScriptedResponse script =
        current ? current(record) : ScriptedResponse::json(404, {{"error", {{"code", "not_found"}}}});
    if (script.delay.count() > 0 && !pause(script.delay)) {
        response.status = 503;
        return;
    }
    response.status = script.status;
    std::string contentType = "application/octet-stream";
    for (const auto& [name, value] : script.headers) {
        if (headerNameEquals(name, "Content-Type"))
            contentType = value;
        else
            response.set_header(name, value);
    }
    const bool streamed = script.stallAfter || script.pieceSize > 0 || script.chunked;
    if (!streamed) {
        response.set_header("Content-Type", contentType);
        response.body = script.body;
        return;
    }

    // Writes the body as scripted; false when the client left or the server stops.
    auto send = [this, script](httplib::DataSink& sink) {
        const std::string& body = script.body;
        std::size_t sent = 0;
        auto sendUpTo = [&](std::size_t end) {
            while (sent < end) {
                std::size_t piece =
                    script.pieceSize > 0 ? std::min(script.pieceSize, end - sent) : end - sent;
                if (!sink.write(body.data() + sent, piece)) return false;
                sent += piece;
                if (script.pieceSize > 0 && sent < body.size() && !pause(script.piecePause)) return false;
            }
            return true;
        };
        if (script.stallAfter) {
            if (!sendUpTo(std::min(*script.stallAfter, body.size()))) return false;
            if (!pause(script.stallFor)) return false;
        }
        return sendUpTo(body.size());
    };
    if (script.chunked) {
        response.set_chunked_content_provider(contentType, [send](std::size_t, httplib::DataSink& sink) {
            if (!send(sink)) return false;
            sink.done();
            return true;
        });
    } else {
        response.set_content_provider(script.body.size(), contentType,
                                      [send](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                          return offset == 0 ? send(sink) : true;
                                      });
    }
}

TlsTestServer::TlsTestServer(const TestCertificates& certificates)
    : impl_(std::make_unique<Impl>(certificates)) {
    auto& server = impl_->server;
    if (!server.is_valid()) fail("the server cannot load its certificate");
    server.set_tcp_nodelay(true);  // else every small answer waits on Nagle
    // A stalled answer holds its thread until the stall ends; leave room for several.
    server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    server.set_keep_alive_max_count(100'000);
    server.set_keep_alive_timeout(2);
    auto handler = [impl = impl_.get()](const httplib::Request& request, httplib::Response& response) {
        impl->handle(request, response);
    };
    const std::string any = ".*";
    server.Get(any, handler);
    server.Post(any, handler);
    server.Put(any, handler);
    server.Patch(any, handler);
    server.Delete(any, handler);
    server.Options(any, handler);
    impl_->port = server.bind_to_any_port("127.0.0.1");
    if (impl_->port <= 0) fail("no port");
    impl_->thread = std::thread([impl = impl_.get()] { impl->server.listen_after_bind(); });
    // A stop() before the listener runs would be lost and leave it in accept() forever.
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TlsTestServer::~TlsTestServer() { stop(); }

void TlsTestServer::stop() {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->stopped) return;
        impl_->stopped = true;
        impl_->stopping = true;
    }
    impl_->changed.notify_all();
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

int TlsTestServer::port() const { return impl_->port; }

std::string TlsTestServer::origin() const { return "https://127.0.0.1:" + std::to_string(impl_->port); }

void TlsTestServer::setHandler(Handler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

void TlsTestServer::respond(ScriptedResponse response) {
    setHandler([response](const RecordedRequest&) { return response; });
}

std::vector<RecordedRequest> TlsTestServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->received;
}

bool TlsTestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->received.size() >= count; });
}

std::shared_ptr<HTTPSessionFactory> testSessions(HTTPSessionSettings settings,
                                                 const TestCertificates& certificates) {
    if (!settings.caFile) settings.caFile = certificates.caFile;
    return std::make_shared<CurlHTTPSessionFactory>(std::move(settings));
}

}  // namespace tamsel::platform::testing
