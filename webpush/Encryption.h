#pragma once
// Web Push message encryption (RFC 8291) in the aes128gcm content coding
// (RFC 8188), limited to what Web Push sends: exactly one record whose key id
// is the sender's ephemeral P-256 public key.
//
// Body layout: salt(16) | rs(4, big-endian) | idlen(1) = 65 | keyid(65) | record,
// the record being AES-128-GCM over plaintext | 0x02 | zero padding, tag last.
#include <array>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "webpush/P256.h"

namespace tamsel::webpush {

inline constexpr std::size_t kAuthSecretSize = 16;
inline constexpr std::size_t kSaltSize = 16;
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kHeaderSize = kSaltSize + 4 + 1 + kPublicKeySize;  // 86
inline constexpr std::uint32_t kRecordSize = 4096;                              // what encrypt() writes
inline constexpr std::uint32_t kMinRecordSize = kTagSize + 2;                   // RFC 8188: 18
inline constexpr std::size_t kMaxPlaintext = 4096;                              // larger is refused

struct DecryptResult;

// The receiver's (user agent's) subscription keys: a P-256 key pair whose public
// half is the subscription's `p256dh`, and the 16-byte `auth` secret. Copies
// share the OpenSSL key; the auth secret is wiped when a copy goes away.
class ReceiverKeys {
  public:
    // Fresh keys. Throws CryptoFailure.
    static ReceiverKeys generate();

    // Keys from the 32-byte private scalar and the auth secret; std::nullopt
    // unless both have the right size and the scalar is a valid P-256 key.
    static std::optional<ReceiverKeys> fromParts(std::span<const std::uint8_t> privateKey,
                                                 std::span<const std::uint8_t> authSecret);

    // The stored form {"privateKey": base64url(scalar), "auth": base64url(auth)}
    // and back. fromJson refuses (std::nullopt) a value without both members as
    // strict base64url of the right size; other members are ignored. The
    // object holds secrets: it belongs in a key store, never in a log.
    nlohmann::json toJson() const;
    static std::optional<ReceiverKeys> fromJson(const nlohmann::json& stored);

    // The subscription's `p256dh` (65-byte uncompressed point) and `auth`.
    const PublicKey& publicKey() const { return publicKey_; }
    std::span<const std::uint8_t, kAuthSecretSize> authSecret() const { return auth_.span(); }

  private:
    friend DecryptResult decrypt(const ReceiverKeys& keys, std::span<const std::uint8_t> body);
    ReceiverKeys(PKey key, std::span<const std::uint8_t, kAuthSecretSize> auth);
    PKey key_;
    PublicKey publicKey_{};
    SecretBytes<kAuthSecretSize> auth_;
};

// Why a message was refused. describe() gives short fixed text that carries
// nothing from the message, so it may be logged.
enum class DecryptError {
    HeaderTooShort,        // fewer bytes than the header (86 with a 65-byte key id)
    RecordSizeTooSmall,    // rs below 18
    KeyIdLength,           // idlen is not 65
    KeyIdNotOnCurve,       // the key id is not an uncompressed P-256 point
    MultipleRecords,       // the record is longer than rs: only one record is accepted
    RecordTooShort,        // the record is shorter than its authentication tag
    AuthenticationFailed,  // AES-GCM tag mismatch: wrong keys or altered message
    PaddingMissing,        // the decrypted record is all zeros: no delimiter
    PaddingDelimiter,      // the last non-zero byte is not the final-record delimiter 0x02
    PlaintextTooLarge,     // more than kMaxPlaintext bytes of plaintext
};
std::string_view describe(DecryptError error);

struct DecryptResult {
    std::optional<DecryptError> error;    // set when refused
    std::vector<std::uint8_t> plaintext;  // the message, padding removed; empty when refused
    explicit operator bool() const { return !error; }
};

// Decrypts a message sent to `keys`. Any input is safe: a malformed or hostile
// body gives a DecryptError, never a crash or an exception. Throws only
// CryptoFailure, when OpenSSL itself fails (e.g. out of memory).
DecryptResult decrypt(const ReceiverKeys& keys, std::span<const std::uint8_t> body);

struct EncryptOptions {
    // Fixed salt and sender key pair (its private scalar), for reproducible
    // output in tests only: reusing either across messages breaks the scheme.
    // When unset each is fresh and random.
    std::optional<std::array<std::uint8_t, kSaltSize>> salt;
    std::optional<std::array<std::uint8_t, kPrivateKeySize>> senderPrivateKey;
    std::uint32_t recordSize = kRecordSize;
    // Zero bytes after the delimiter, to hide the plaintext's length.
    std::size_t padding = 0;
};

// Encrypts `plaintext` to a subscription (`p256dh`, `auth`) as one record.
// Throws std::invalid_argument when p256dh is not a 65-byte uncompressed P-256
// point, auth is not 16 bytes, an injected sender key is invalid, recordSize
// is below 18, the plaintext is over kMaxPlaintext or it does not fit one
// record with its delimiter, padding and tag. Throws CryptoFailure when
// OpenSSL fails.
std::vector<std::uint8_t> encrypt(std::span<const std::uint8_t> p256dh, std::span<const std::uint8_t> auth,
                                  std::span<const std::uint8_t> plaintext,
                                  const EncryptOptions& options = {});

namespace detail {
// Encrypts `record` exactly as given (no delimiter added, options.padding
// ignored): lets tests build authentic messages with broken padding. Same
// refusals as encrypt() except the plaintext limit.
std::vector<std::uint8_t> sealRecord(std::span<const std::uint8_t> p256dh, std::span<const std::uint8_t> auth,
                                     std::span<const std::uint8_t> record, const EncryptOptions& options);
}  // namespace detail

}  // namespace tamsel::webpush
