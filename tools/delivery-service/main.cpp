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

#include "tools/delivery-service/Certificates.h"
#include "tools/delivery-service/DeliveryServer.h"
#include "tools/delivery-service/Encoding.h"
#include "tools/delivery-service/Scenario.h"
#include "tools/delivery-service/WebPushSender.h"

namespace {

using tamsel::delivery::Json;

constexpr const char* kUsage = R"(usage: tamsel-delivery-service [options]

A reference notification-delivery service: an HTTPS server on 127.0.0.1 that
keeps receivers, access tokens, pending delivery changes, pages, badges and
acknowledgments in memory. When it listens it prints one JSON line on stdout:
    {"port": N, "url": "https://127.0.0.1:N", "caFile": PATH, "adminToken": TOKEN,
     "receivers": [credentials seeded by --scenario], "vapidPublicKey": KEY}
and serves until SIGINT or SIGTERM, POST /admin/shutdown, or (with
--stop-on-eof) the end of standard input.

Delivery protocol, below /api/v2/notification-receivers/<receiverId>:
  POST /worker-sessions            Tamsel-Receiver-Refresh, Idempotency-Key
  GET  /badge                      Authorization: Bearer <access token>
  GET  /delivery-changes?limit=N[&cursor=C]   (1 <= N <= 100)
  POST /delivery-acknowledgments   Authorization, Idempotency-Key,
                                   {"batchId": ..., "receiptProof": ...}
Answers: 200 {"success": true, "data": {...}, "meta": {"schema": ...}}, errors
{"error": {"code": ...}} (an unknown or expired cursor: "invalid_cursor");
every answer carries Cache-Control: no-store.

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
  POST /admin/stall                          {"milliseconds", "route"?}: delay sending answers
  PUT  /admin/replay/<name>[?status=N]       raw body served at GET /replay/<name>
  POST /admin/shutdown
See docs/delivery-service.md for the details and the scenario file.

options:
  --port N                    listen on 127.0.0.1:N (default 0: a free port)
  --cert-dir DIR              TLS files: uses DIR/ca.pem, DIR/server.pem and
                              DIR/server-key.pem, or creates them (a new CA and a
                              server certificate for 127.0.0.1 and localhost);
                              default: a fresh temporary directory, removed at exit
  --scenario FILE             seed receivers, changes and badges at start
  --admin-token TOKEN         the admin token (default: 43 random characters)
  --token-lifetime SECONDS    access tokens (default 300)
  --page-lifetime SECONDS     batches and cursors of a page (default 300)
  --credential-lifetime SECONDS  credentials of registered receivers (default 2592000)
  --vapid-subject URI         "sub" of the wake-ups' VAPID tokens, mailto: or
                              https: (default mailto:delivery@localhost)
  --stop-on-eof               stop when standard input ends
  --verbose                   one line per request on stderr: method, path, status
  --help                      show this text
)";

int usageError(const std::string& message) {
    std::cerr << "tamsel-delivery-service: " << message << "\n(see --help)\n";
    return 2;
}

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
    bool stopOnEof = false;
    bool verbose = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--port") {
            const char* v = value();
            char* end = nullptr;
            long p = v ? std::strtol(v, &end, 10) : -1;
            if (!v || *end != '\0' || p < 0 || p > 65535)
                return usageError("--port needs a number from 0 to 65535");
            port = static_cast<int>(p);
        } else if (arg == "--cert-dir") {
            const char* v = value();
            if (!v || !*v) return usageError("--cert-dir needs a directory");
            certDir = v;
        } else if (arg == "--scenario") {
            const char* v = value();
            if (!v || !*v) return usageError("--scenario needs a file");
            scenario = v;
        } else if (arg == "--admin-token") {
            const char* v = value();
            if (!v || std::strlen(v) < 16) return usageError("--admin-token needs at least 16 characters");
            adminToken = v;
        } else if (arg == "--token-lifetime" || arg == "--page-lifetime" || arg == "--credential-lifetime") {
            const char* v = value();
            auto s = v ? seconds(v) : std::nullopt;
            if (!s) return usageError(arg + " needs a positive number of seconds");
            (arg == "--token-lifetime"  ? settings.tokenLifetime
             : arg == "--page-lifetime" ? settings.pageLifetime
                                        : settings.credentialLifetime) = millis(*s);
        } else if (arg == "--vapid-subject") {
            const char* v = value();
            if (!v || !tamsel::delivery::acceptableVapidSubject(v))
                return usageError("--vapid-subject needs a mailto: or https: URI");
            settings.vapidSubject = v;
        } else if (arg == "--stop-on-eof") {
            stopOnEof = true;
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            return usageError("unknown argument " + arg);
        }
    }

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
