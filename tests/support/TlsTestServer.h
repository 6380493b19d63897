#pragma once
// A real HTTPS server on 127.0.0.1 for the test suites.
//
//   TlsTestServer server;                                   // ephemeral port, test CA
//   server.respond(ScriptedResponse::envelope(data, "schema.v1"));     // every request
//   server.setHandler([](const RecordedRequest& r) { ... return ScriptedResponse{...}; });
//   auto sessions = testSessions();                          // curl sessions trusting the test CA
//   ... server.origin() is "https://127.0.0.1:<port>" ...
//   server.requests()                                        // what was received, in order
//
// A scripted answer can carry any status, headers and body, wait before it
// answers (`delay`), stop sending part-way (`stallAfter` / `stallFor`), trickle
// its body (`pieceSize` / `piecePause`) or use chunked coding (no length known in
// advance). Every wait ends at once when the server stops, so a test never waits
// for a stall it no longer cares about. A stalled answer holds one of the
// server's 16 threads (and so one connection) until then.
//
// Certificates: TestCertificates::trusted() is a CA made for this test process
// and a server certificate for IP 127.0.0.1 and DNS localhost signed by it;
// TestCertificates::untrusted() is a second, unrelated CA with its own server
// certificate, for the "certificate does not verify" case. The files live in a
// temporary directory removed at process exit.
//
// Handlers run on the server's threads; requests() and waitForRequests() may be
// called from any thread.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/HTTPSession.h"
#include "platform/Json.h"

namespace tamsel::platform::testing {

struct TestCertificates {
    std::filesystem::path caFile;    // PEM: the CA certificate a client trusts
    std::filesystem::path certFile;  // PEM: the server's certificate
    std::filesystem::path keyFile;   // PEM: the server's private key

    static const TestCertificates& trusted();
    static const TestCertificates& untrusted();
};

struct RecordedRequest {
    std::string method;
    std::string target;  // path and query exactly as sent, e.g. "/a/b?limit=50"
    std::string path;    // target without its query
    HTTPHeaders headers;
    std::string body;
    int remotePort = -1;  // the client's port: equal for requests on one connection

    // All values of the header (case-insensitive name), joined by ", ".
    std::optional<std::string> header(std::string_view name) const;
};

struct ScriptedResponse {
    int status = 200;
    HTTPHeaders headers;
    std::string body;

    // Wait before sending anything of the answer.
    std::chrono::milliseconds delay{0};
    // Send the first `stallAfter` body bytes (0: headers only), then nothing for
    // `stallFor`, then the rest.
    std::optional<std::size_t> stallAfter;
    std::chrono::milliseconds stallFor = std::chrono::hours(1);
    // Send the body in pieces of `pieceSize` bytes with `piecePause` between them.
    std::size_t pieceSize = 0;
    std::chrono::milliseconds piecePause{0};
    // Chunked transfer coding instead of a Content-Length.
    bool chunked = false;

    // 200 with "Cache-Control: no-store" and {"success": true, "data": data,
    // "meta": {"schema": schema}}.
    static ScriptedResponse envelope(const Json& data, const std::string& schema);
    // `status` with a JSON body and "Content-Type: application/json".
    static ScriptedResponse json(int status, const Json& body, HTTPHeaders headers = {});
};

class TlsTestServer {
  public:
    using Handler = std::function<ScriptedResponse(const RecordedRequest&)>;

    // Starts listening at once. Until told otherwise every request gets a 404
    // with {"error": {"code": "not_found"}}.
    explicit TlsTestServer(const TestCertificates& certificates = TestCertificates::trusted());
    ~TlsTestServer();  // stop()
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    int port() const;
    std::string origin() const;  // "https://127.0.0.1:<port>"

    void setHandler(Handler handler);
    void respond(ScriptedResponse response);  // the same answer to every request

    std::vector<RecordedRequest> requests() const;
    // True once at least `count` requests have arrived (false after `timeout`).
    bool waitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Ends every delay and stall, closes the listener and waits for the
    // server's threads. Called by the destructor; calling it twice is harmless.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Makes libcurl sessions that trust only the test CA (of `certificates`), with
// the other settings as given (short limits keep time-out tests fast).
std::shared_ptr<HTTPSessionFactory> testSessions(
    HTTPSessionSettings settings = {}, const TestCertificates& certificates = TestCertificates::trusted());

}  // namespace tamsel::platform::testing
