#pragma once
// The HTTPS client the worker talks to the delivery service through.
//
// perform() is one blocking exchange: it sends one request and gives back the
// status, the headers and the body, or throws. It follows no redirect (a 3xx is
// the answer), keeps no cookies and no cache, always verifies the server's
// certificate, and stops receiving a body once it passes the body limit. It
// gives up after `idleLimit` without any data and after `transferLimit` for the
// whole exchange. When the task running it (currentStopToken()) is cancelled it
// stops at once and throws CancellationError. Nothing is ever retried.
//
// A session keeps its connection open between requests. It is used by one
// caller at a time (the requests of one run are sequential); distinct sessions
// are independent.
#include <chrono>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/PlatformError.h"

namespace tamsel::platform {

using HTTPHeaders = std::vector<std::pair<std::string, std::string>>;

// Header names compare case-insensitively (ASCII).
bool headerNameEquals(std::string_view a, std::string_view b);
// Sets name to value, replacing every header of that name.
void setHeader(HTTPHeaders& headers, std::string_view name, std::string_view value);

struct HTTPRequest {
    std::string url;  // absolute "https" URL
    std::string method = "GET";
    HTTPHeaders headers;
    std::string body;  // sent as is; empty sends none
};

struct HTTPResponse {
    // The HTTP status; absent when the answer carried none.
    std::optional<long> status;
    HTTPHeaders headers;  // as received, in order
    std::string body;     // at most the session's body limit
    // The server sent more than the body limit; `body` holds only the first part.
    bool bodyExceededLimit = false;

    // All values of the named header (case-insensitive), joined by ", "; nothing
    // when the header is absent.
    std::optional<std::string> header(std::string_view name) const;
};

// A transport failure: connection, TLS, time limit, protocol. It carries only the
// client library's numeric code, never a URL, header or body text.
class HTTPSessionError : public std::exception, public Error {
  public:
    // Codes of the client library that a caller may want to tell apart.
    static constexpr int kTimedOut = 28;
    static constexpr int kPeerFailedVerification = 60;
    static constexpr int kBadArgument = 43;

    explicit HTTPSessionError(int code);
    int code() const { return code_; }
    const char* what() const noexcept override { return what_; }

  private:
    int code_;
    char what_[48];
};

class HTTPSession {
  public:
    virtual ~HTTPSession() = default;
    // Throws HTTPSessionError or CancellationError; see the top of this file.
    virtual HTTPResponse perform(const HTTPRequest& request) = 0;
};

struct HTTPSessionSettings {
    std::chrono::milliseconds idleLimit{12'000};      // longest wait for further data
    std::chrono::milliseconds transferLimit{20'000};  // longest time for one whole exchange
    std::size_t bodyLimit = 1'048'576;                // body bytes read at most
    // Trust only these certificates instead of the system's store.
    std::optional<std::filesystem::path> caFile;
};

// Makes the sessions of the worker; one session per worker. Tests inject short
// time limits or a test CA through the settings.
class HTTPSessionFactory {
  public:
    virtual ~HTTPSessionFactory() = default;
    virtual std::shared_ptr<HTTPSession> makeSession() = 0;
};

}  // namespace tamsel::platform
