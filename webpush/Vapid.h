#pragma once
// Voluntary Application Server Identification (RFC 8292): the sender signs a
// short-lived JWT (ES256, RFC 7515/7518) naming the push service's origin, and
// sends it with its public key as `Authorization: vapid t=<JWT>, k=<key>`.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "webpush/P256.h"

namespace tamsel::webpush {

using VapidClock = std::chrono::system_clock;

// RFC 8292 section 2: a token may not be valid for more than a day.
inline constexpr std::chrono::hours kMaxVapidLifetime{24};

class VapidKey {
  public:
    // A fresh key pair. Throws CryptoFailure.
    static VapidKey generate();

    // The key for a stored base64url private scalar (32 bytes), or std::nullopt.
    static std::optional<VapidKey> fromPrivateKey(std::string_view base64url);
    // The stored form read by fromPrivateKey. A secret: never log it.
    std::string privateKeyBase64url() const;

    // The application server key: 65-byte uncompressed point, and its
    // base64url text as sent in `k=` and given to subscribers.
    const PublicKey& publicKey() const { return publicKey_; }
    std::string publicKeyBase64url() const;

    // The Authorization header value `vapid t=<JWT>, k=<public key>` for a push
    // service at `audienceOrigin` (scheme://host[:port], no path), e.g.
    // "https://push.example.net". `subject` ("mailto:..." or "https:...") is
    // left out of the claims when empty. `expiry` should lie in the coming 24
    // hours (push services refuse others); it is written in whole seconds.
    // Throws std::invalid_argument for an empty audience or text that is not
    // UTF-8, CryptoFailure when OpenSSL fails.
    std::string authorization(std::string_view audienceOrigin, std::string_view subject,
                              VapidClock::time_point expiry) const;

  private:
    explicit VapidKey(PKey key);
    PKey key_;
    PublicKey publicKey_{};
};

struct VapidClaims {
    PublicKey publicKey;
    std::string audience;
    std::string subject;  // empty when absent
    VapidClock::time_point expiry;
};

// Checks an Authorization header value as a push service would: the `vapid`
// scheme with `t` and `k`, a JWT whose header names ES256, a signature that
// verifies with `k`, `aud` equal to `expectedAudience`, and `exp` after `now`
// but at most 24 hours ahead. The claims when all hold, else std::nullopt.
std::optional<VapidClaims> verifyVapid(std::string_view headerValue, std::string_view expectedAudience,
                                       VapidClock::time_point now);

}  // namespace tamsel::webpush
