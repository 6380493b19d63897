#pragma once
// Small encodings the delivery service hands out: opaque proofs, identifiers and
// timestamps in the forms its clients check.
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace tamsel::delivery {

using TimePoint = std::chrono::system_clock::time_point;

// Unpadded URL-safe Base64.
std::string base64url(const unsigned char* bytes, std::size_t size);

// 32 random bytes from the system's generator, as 43 URL-safe Base64 characters:
// refresh proofs, access tokens, receipt proofs, cursors, admin tokens.
std::string randomProof();

// prefix + 22 URL-safe Base64 characters of 16 random bytes.
std::string randomIdentifier(std::string_view prefix);

// "2025-01-31T12:34:56.789Z" (always UTC, always milliseconds).
std::string rfc3339(TimePoint t);

// Seconds since 2001-01-01T00:00:00Z, the reference date of the credential's "expiresAt".
double secondsSinceReferenceDate(TimePoint t);

// Compares two secrets in time independent of where they differ.
bool sameSecret(std::string_view a, std::string_view b);

}  // namespace tamsel::delivery
