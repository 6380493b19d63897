// tamsel-delivery-service: a reference notification-delivery service over HTTPS
// on loopback, for the demo, the end-to-end tests and the benchmarks.
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "cli/CommandLine.h"
#include "tools/delivery-service/Certificates.h"
#include "tools/delivery-service/DeliveryServer.h"
#include "tools/delivery-service/Encoding.h"
#include "tools/delivery-service/Scenario.h"
#include "tools/delivery-service/WebPushSender.h"

namespace {

using tamsel::delivery::Json;

const tamsel::cli::Program kProgram{
    "tamsel-delivery-service",
    {{.synopsis = "[options]",
      .description =
          R"(A reference notification-delivery service: an HTTPS server on 127.0.0.1 that keeps receivers, access tokens, pending delivery changes, pages, badges and acknowledgments in memory. When it listens it prints one JSON line on stdout:
    {"port": N, "url": "https://127.0.0.1:N", "caFile": PATH, "adminToken": TOKEN,
     "receivers": [credentials seeded by --scenario], "vapidPublicKey": KEY}
and serves until SIGINT or SIGTERM, POST /admin/shutdown, or (with --stop-on-eof) the end of standard input.

Delivery protocol, below /api/v2/notification-receivers/<receiverId>:
  POST /worker-sessions            Tamsel-Receiver-Refresh, Idempotency-Key
  GET  /badge                      Authorization: Bearer <access token>
  GET  /delivery-changes?limit=N[&cursor=C]   (1 <= N <= 100)
  POST /delivery-acknowledgments   Authorization, Idempotency-Key,
                                   {"batchId": ..., "receiptProof": ...}
Answers: 200 {"success": true, "data": {...}, "meta": {"schema": ...}}, errors {"error": {"code": ...}} (an unknown or expired cursor: "invalid_cursor"); every answer carries Cache-Control: no-store.

Admin interface (same server, Authorization: Bearer <admin token>, JSON bodies):
  POST /admin/receivers                      register; answers the credential
                                             {"receiverID","refreshProof","authorizationRevision","expiresAt"}
  GET  /admin/receivers/<id>                 pending count, request counts, badge
  POST /admin/receivers/<id>/credential      new refresh proof (and revision)
  POST /admin/receivers/<id>/changes         queue change records, sent as given
  POST /admin/receivers/<id>/changes/generate {"count", "bodyScalars"?, "groupKey"?, "sender"?}
  POST /admin/receivers/<id>/badge           {"unreadCount", "revision"?}
  GET  /admin/receivers/<id>/acknowledgments acknowledged batches, in order
  PUT  /admin/receivers/<id>/push-subscription {"endpoint", "p256dh", "auth"}: queuing
                                             changes then sends one Web Push wake-up
  DELETE /admin/receivers/<id>/push-subscription
  GET  /admin/receivers/<id>/push-deliveries outcomes of the wake-ups sent
  POST /admin/receivers/<id>/expire-cursors  every cursor handed out becomes invalid
  POST /admin/receivers/<id>/empty-pages     {"count"}: the next count empty pages get a cursor
  POST /admin/receivers/<id>/planned-values  {"values"}: the next access tokens, receipt proofs,
                                             cursors and batch ids, in order, instead of random ones
  POST /admin/stall                          {"milliseconds", "route"?, "gather"?}: delay sending
                                             answers (with "gather": N, until N requests have come)
  PUT  /admin/replay/<name>[?status=N]       raw body served at GET /replay/<name>
  POST /admin/shutdown
See docs/delivery-service.md for the details and the scenario file.)",
      .options =
          {{.name = "port", .value = "N", .help = "listen on 127.0.0.1:N (default 0: a free port)"},
           {.name = "cert-dir",
            .value = "DIR",
            .help = "TLS files: uses DIR/ca.pem, DIR/server.pem and DIR/server-key.pem, or creates them "
                    "(a new CA and a server certificate for 127.0.0.1 and localhost); default: a fresh "
                    "temporary directory, removed at exit"},
           {.name = "scenario", .value = "FILE", .help = "seed receivers, changes and badges at start"},
           {.name = "admin-token",
            .value = "TOKEN",
            .help = "the admin token, at least 16 characters (default: 43 random characters)"},
           {.name = "token-lifetime", .value = "SECONDS", .help = "access tokens (default 300)"},
           {.name = "page-lifetime",
            .value = "SECONDS",
            .help = "batches and cursors of a page (default 300)"},
           {.name = "credential-lifetime",
            .value = "SECONDS",
            .help = "credentials of registered receivers (default 2592000)"},
           {.name = "vapid-subject",
            .value = "URI",
            .help = "\"sub\" of the wake-ups' VAPID tokens, mailto: or https: (default "
                    "mailto:delivery@localhost)"},
           {.name = "stop-on-eof", .help = "stop when standard input ends"},
           {.name = "verbose", .help = "one line per request on stderr: method, path, status"}},
      .exitStatuses = {{0, "served until stopped"},
                       {1, "cannot start (certificates, scenario, port) or serving failed"},
                       {2, "bad arguments"}}}}};

int usageError(const std::string& message) { return tamsel::cli::usageError(kProgram, "", message); }

std::optional<double> seconds(const char* text) {
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value > 0) || value > 1e8) return std::nullopt;
    return value;
}

std::chrono::milliseconds millis(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    std::optional<std::filesystem::path> certDir;
    std::optional<std::filesystem::path> scenario;
    std::string adminToken = tamsel::delivery::randomProof();
    tamsel::delivery::Settings settings;

    auto parsed = tamsel::cli::parse(kProgram, argc, argv);
    if (!parsed.arguments) return parsed.exitStatus;
    const tamsel::cli::Arguments& arguments = *parsed.arguments;
    if (auto v = arguments.value("port")) {
        char* end = nullptr;
        long p = std::strtol(v->c_str(), &end, 10);
        if (v->empty() || *end != '\0' || p < 0 || p > 65535)
            return usageError("option '--port' needs a number from 0 to 65535");
        port = static_cast<int>(p);
    }
    if (auto v = arguments.value("cert-dir")) {
        if (v->empty()) return usageError("option '--cert-dir' needs a directory");
        certDir = *v;
    }
    if (auto v = arguments.value("scenario")) {
        if (v->empty()) return usageError("option '--scenario' needs a file");
        scenario = *v;
    }
    if (auto v = arguments.value("admin-token")) {
        if (v->size() < 16) return usageError("option '--admin-token' needs at least 16 characters");
        adminToken = *v;
    }
    for (auto [name, lifetime] : {std::pair{"token-lifetime", &settings.tokenLifetime},
                                  std::pair{"page-lifetime", &settings.pageLifetime},
                                  std::pair{"credential-lifetime", &settings.credentialLifetime}}) {
        auto v = arguments.value(name);
        if (!v) continue;
        auto s = seconds(v->c_str());
        if (!s) return usageError("option '--" + std::string(name) + "' needs a positive number of seconds");
        *lifetime = millis(*s);
    }
    if (auto v = arguments.value("vapid-subject")) {
        if (!tamsel::delivery::acceptableVapidSubject(*v))
            return usageError("option '--vapid-subject' needs a mailto: or https: URI");
        settings.vapidSubject = *v;
    }
    const bool stopOnEof = arguments.has("stop-on-eof");
    const bool verbose = arguments.has("verbose");

    // SIGINT and SIGTERM are taken by a thread of their own (below); block them
    // before the server starts its threads so that none of those receives them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::optional<std::filesystem::path> temporaryDir;
    try {
        if (!certDir) {
            std::string pattern =
                (std::filesystem::temp_directory_path() / "tamsel-delivery-XXXXXX").string();
            if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
            certDir = temporaryDir = pattern;
        }
        auto certificates = tamsel::delivery::ensureCertificates(*certDir);
        tamsel::delivery::DeliveryServer server(certificates, adminToken, settings);
        server.setVerbose(verbose);
        Json seeded = Json::array();
        if (scenario) seeded = tamsel::delivery::seedScenario(server, *scenario);
        const int bound = server.bind(port);

        std::thread([&server, signals] {
            int received = 0;
            sigwait(&signals, &received);
            server.stop();
        }).detach();
        if (stopOnEof) {
            std::thread([&server] {
                char buffer[256];
                while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
                }
                server.stop();
            }).detach();
        }

        Json line = {{"port", bound},
                     {"url", "https://127.0.0.1:" + std::to_string(bound)},
                     {"caFile", std::filesystem::absolute(certificates.caCertificate).string()},
                     {"adminToken", adminToken},
                     {"receivers", seeded},
                     {"vapidPublicKey", server.vapidPublicKey()}};
        std::cout << line.dump() << std::endl;

        const bool served = server.listen();
        if (temporaryDir) std::filesystem::remove_all(*temporaryDir);
        // The detached threads may still wait on the signal or on input; leave
        // without running destructors under them.
        std::cout.flush();
        std::_Exit(served ? 0 : 1);
    } catch (const std::exception& error) {
        if (temporaryDir) std::filesystem::remove_all(*temporaryDir);
        std::cerr << "tamsel-delivery-service: " << error.what() << "\n";
        return 1;
    }
}
