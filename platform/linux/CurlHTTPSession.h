#pragma once
// The HTTPS session over libcurl. The only unit that talks to libcurl's
// transfer interface; see platform/HTTPSession.h for what a session guarantees.
//
// Each session owns one easy handle and one multi handle for its whole life, so
// the connection (and the TLS session) is reused across the requests of a run.
// The multi handle lets a cancelled task wake the transfer at once instead of at
// the next progress tick.
#include <memory>

#include "platform/HTTPSession.h"

namespace tamsel::platform {

class CurlHTTPSessionFactory final : public HTTPSessionFactory {
  public:
    explicit CurlHTTPSessionFactory(HTTPSessionSettings settings = {});
    std::shared_ptr<HTTPSession> makeSession() override;
    const HTTPSessionSettings& settings() const { return settings_; }

  private:
    HTTPSessionSettings settings_;
};

}  // namespace tamsel::platform
