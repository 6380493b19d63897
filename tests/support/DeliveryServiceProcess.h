#pragma once
// Runs the real tamsel-delivery-service binary as a child process for a test:
// starts it on an ephemeral port with its own certificate directory, reads the
// line it prints, and talks to it over HTTPS with verification against its CA.
// The child is told to stop when its standard input closes, so it never
// outlives a crashed test.
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Json.h"
#include "tests/support/Process.h"

namespace tamsel::platform::testing {

class DeliveryServiceProcess {
  public:
    struct Reply {
        int status = 0;  // 0: no HTTP answer (connection or TLS failure)
        std::string body;
        std::multimap<std::string, std::string> headers;  // names as sent

        Json json() const { return parseJson(body); }
        std::optional<std::string> header(const std::string& name) const;  // case-insensitive
    };

    // Extra command-line arguments follow the fixed ones (--port 0, --cert-dir, --stop-on-eof).
    explicit DeliveryServiceProcess(std::vector<std::string> arguments = {},
                                    std::optional<std::filesystem::path> certDir = std::nullopt);
    ~DeliveryServiceProcess();
    DeliveryServiceProcess(const DeliveryServiceProcess&) = delete;
    DeliveryServiceProcess& operator=(const DeliveryServiceProcess&) = delete;

    // The JSON line the service printed when it started listening.
    const Json& started() const { return started_; }
    int port() const { return started_["port"]; }
    std::string origin() const { return "https://127.0.0.1:" + std::to_string(port()); }
    std::string caFile() const { return started_["caFile"]; }
    std::string adminToken() const { return started_["adminToken"]; }

    // One HTTPS request; body is sent as given (no Content-Type unless in headers).
    // The client trusts the service's own CA, or `trustedCA` when given.
    Reply send(const std::string& method, const std::string& path,
               const std::map<std::string, std::string>& headers = {},
               const std::optional<std::string>& body = std::nullopt,
               const std::optional<std::string>& trustedCA = std::nullopt) const;
    // An admin call with the admin token and a JSON body; fails the test unless it answers 200.
    Json admin(const std::string& method, const std::string& path, const Json& body = Json::object()) const;

    // Registers a receiver and returns its credential JSON.
    Json registerReceiver(const Json& request = Json::object()) const;

    // Waits for the child to exit (after /admin/shutdown, a signal or closed input);
    // returns its wait status, or nothing when it did not exit in time.
    std::optional<int> waitForExit(int milliseconds);
    void signal(int signal) const;
    // Closes the child's standard input (it was started with --stop-on-eof).
    void closeInput();

    static std::filesystem::path binary();

  private:
    std::optional<tamsel::testing::ScratchDirectory> scratch_;
    std::filesystem::path directory_;
    std::unique_ptr<tamsel::testing::Subprocess> child_;
    Json started_;
};

// Runs the binary with arguments to completion (stdin closed) and returns its exit
// status with what it wrote to stdout and stderr.
struct ProcessResult {
    int exitStatus = -1;
    std::string out;
    std::string err;
};
ProcessResult runDeliveryService(const std::vector<std::string>& arguments);

}  // namespace tamsel::platform::testing
