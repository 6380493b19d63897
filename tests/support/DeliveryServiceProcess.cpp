#include "tests/support/DeliveryServiceProcess.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <stdexcept>

namespace tamsel::platform::testing {

std::filesystem::path DeliveryServiceProcess::binary() {
    return std::filesystem::path(TAMSEL_BINARY_DIR) / "tamsel-delivery-service";
}

std::optional<std::string> DeliveryServiceProcess::Reply::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (std::equal(key.begin(), key.end(), name.begin(), name.end(),
                       [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
            return value;
    }
    return std::nullopt;
}

DeliveryServiceProcess::DeliveryServiceProcess(std::vector<std::string> arguments,
                                               std::optional<std::filesystem::path> certDir) {
    if (certDir) {
        directory_ = *certDir;
    } else {
        directory_ = scratch_.emplace().path();
    }
    std::vector<std::string> all{
        binary().string(), "--port", "0", "--cert-dir", (directory_ / "certs").string(), "--stop-on-eof"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    child_ = std::make_unique<tamsel::testing::Subprocess>(
        all, tamsel::testing::SubprocessOptions{.pipeStderr = false});
    auto line = child_->readLine(std::chrono::seconds(60));
    if (!line) throw std::runtime_error("tamsel-delivery-service printed no start line");
    started_ = parseJson(*line);
}

// A child that does not stop within 10 s is killed by ~Subprocess.
DeliveryServiceProcess::~DeliveryServiceProcess() {
    child_->closeInput();
    child_->signal(SIGTERM);
    child_->waitFor(std::chrono::seconds(10));
}

std::optional<int> DeliveryServiceProcess::waitForExit(int milliseconds) {
    if (!child_->waitFor(std::chrono::milliseconds(milliseconds))) return std::nullopt;
    return child_->waitStatus();
}

void DeliveryServiceProcess::signal(int signal) const { child_->signal(signal); }

void DeliveryServiceProcess::closeInput() { child_->closeInput(); }

DeliveryServiceProcess::Reply DeliveryServiceProcess::send(
    const std::string& method, const std::string& path, const std::map<std::string, std::string>& headers,
    const std::optional<std::string>& body, const std::optional<std::string>& trustedCA) const {
    // The client's TLS close may write to a socket the service already closed;
    // that must be an error of the call, not a SIGPIPE that ends the test.
    static const bool sigpipeIgnored = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)sigpipeIgnored;
    httplib::SSLClient client("127.0.0.1", port());
    client.set_ca_cert_path(trustedCA ? trustedCA->c_str() : caFile().c_str());
    client.enable_server_certificate_verification(true);
    client.set_connection_timeout(std::chrono::seconds(10));
    client.set_read_timeout(std::chrono::seconds(30));
    httplib::Request request;
    request.method = method;
    request.path = path;
    for (const auto& [name, value] : headers) request.headers.emplace(name, value);
    if (body) request.body = *body;
    Reply reply;
    auto result = client.send(request);
    if (!result) return reply;
    reply.status = result->status;
    reply.body = result->body;
    for (const auto& [name, value] : result->headers) reply.headers.emplace(name, value);
    return reply;
}

Json DeliveryServiceProcess::admin(const std::string& method, const std::string& path,
                                   const Json& body) const {
    Reply reply = send(method, path,
                       {{"Authorization", "Bearer " + adminToken()}, {"Content-Type", "application/json"}},
                       body.dump());
    EXPECT_EQ(reply.status, 200) << method << " " << path << ": " << reply.body;
    if (reply.status != 200) return Json();
    return reply.json();
}

Json DeliveryServiceProcess::registerReceiver(const Json& request) const {
    return admin("POST", "/admin/receivers", request);
}

ProcessResult runDeliveryService(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{DeliveryServiceProcess::binary().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto run = tamsel::testing::runProcess(argv, "");
    return {run.exitCode < 0 ? -1 : run.exitCode, std::move(run.out), std::move(run.err)};
}

}  // namespace tamsel::platform::testing
