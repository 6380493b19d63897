#include "tests/support/DeliveryServiceProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tamsel::platform::testing {
namespace {

struct Spawned {
    pid_t pid = -1;
    int in = -1;   // write end of the child's stdin
    int out = -1;  // read end of the child's stdout
    int err = -1;  // read end of the child's stderr, when captured
};

Spawned spawn(const std::vector<std::string>& arguments, bool captureErr) {
    int in[2], out[2], err[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || (captureErr && pipe2(err, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (captureErr) posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

    std::string path = DeliveryServiceProcess::binary().string();
    std::vector<char*> argv{path.data()};
    std::vector<std::string> copies = arguments;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    Spawned child;
    int rc = posix_spawn(&child.pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (captureErr) ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        if (captureErr) ::close(err[0]);
        throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
    }
    child.in = in[1];
    child.out = out[0];
    child.err = captureErr ? err[0] : -1;
    return child;
}

// Reads one line from fd, waiting at most until the deadline.
std::optional<std::string> readLine(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string line;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char c;
        ssize_t n = ::read(fd, &c, 1);
        if (n <= 0) return std::nullopt;
        if (c == '\n') return line;
        line += c;
    }
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

}  // namespace

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
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tamsel-delivery-test-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        directory_ = pattern;
        ownsDirectory_ = true;
    }
    std::vector<std::string> all{"--port", "0", "--cert-dir", (directory_ / "certs").string(),
                                 "--stop-on-eof"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    Spawned child = spawn(all, false);
    pid_ = child.pid;
    stdinFd_ = child.in;
    auto line = readLine(child.out, std::chrono::steady_clock::now() + std::chrono::seconds(60));
    ::close(child.out);
    if (!line) {
        ::close(stdinFd_);
        stdinFd_ = -1;
        ::kill(pid_, SIGKILL);
        waitForExit(10000);
        throw std::runtime_error("tamsel-delivery-service printed no start line");
    }
    started_ = parseJson(*line);
}

DeliveryServiceProcess::~DeliveryServiceProcess() {
    if (stdinFd_ >= 0) ::close(stdinFd_);
    if (!exitStatus_) {
        ::kill(pid_, SIGTERM);
        if (!waitForExit(10000)) {
            ::kill(pid_, SIGKILL);
            waitForExit(10000);
        }
    }
    if (ownsDirectory_) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

std::optional<int> DeliveryServiceProcess::waitForExit(int milliseconds) {
    if (exitStatus_) return exitStatus_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exitStatus_ = status;
            return exitStatus_;
        }
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void DeliveryServiceProcess::signal(int signal) const { ::kill(pid_, signal); }

void DeliveryServiceProcess::closeInput() {
    if (stdinFd_ >= 0) ::close(stdinFd_);
    stdinFd_ = -1;
}

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
    Spawned child = spawn(arguments, true);
    ::close(child.in);
    ProcessResult result;
    // Both pipes are drained together so that a full one cannot stall the child.
    std::thread errReader([&] { result.err = readAll(child.err); });
    result.out = readAll(child.out);
    errReader.join();
    ::close(child.out);
    ::close(child.err);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace tamsel::platform::testing
