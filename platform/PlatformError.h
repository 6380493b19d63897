#pragma once
// An error reported by one of the platform's services (notification centre,
// messaging intents). It carries a numeric code and no text of its own, so a
// caller can log the code without leaking anything of what was refused.
#include <exception>

namespace tamsel::platform {

class PlatformError : public std::exception {
  public:
    explicit PlatformError(long code) : code_(code) {}
    long code() const { return code_; }

  private:
    long code_;
};

}  // namespace tamsel::platform
