#pragma once
// The platform layer's one error model. Every error a platform service throws
// derives from Error, which carries the domain its code belongs to and the
// numeric code, and no text of its own, so a caller can log both without
// leaking anything of what was refused. Each service keeps its own class (and
// its code() accessor) for callers that catch it by name.
//
// Error is a mixin, not an exception class: errors that are a std::system_error
// (FileSystemError) derive from both without a second std::exception base.
#include <exception>

namespace tamsel::platform {

enum class ErrorDomain {
    notificationCenter,  // NotificationCenterError codes
    intents,             // IntentError codes
    fileSystem,          // errno values
    httpSession,         // the HTTPS client library's codes
    dbus,                // DBusFailure::Kind
    bundle,              // BundleError::Code
    cancellation,        // always 0
};

class Error {
  public:
    Error(ErrorDomain domain, long code) noexcept : domain_(domain), code_(code) {}
    virtual ~Error() = default;

    ErrorDomain domain() const noexcept { return domain_; }
    long errorCode() const noexcept { return code_; }

  protected:
    Error(const Error&) = default;
    Error& operator=(const Error&) = default;

  private:
    ErrorDomain domain_;
    long code_;
};

// A refusal of one of the platform's services (notification centre, messaging
// intents).
class PlatformError : public std::exception, public Error {
  public:
    PlatformError(ErrorDomain domain, long code) noexcept : Error(domain, code) {}
    long code() const noexcept { return errorCode(); }
};

}  // namespace tamsel::platform
