#pragma once
// P-256 keys through OpenSSL's EVP interface, shared by message encryption and
// VAPID. Points are always the 65-byte uncompressed form 0x04 || x || y, private
// keys the 32-byte big-endian scalar.
#include <openssl/crypto.h>
#include <openssl/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>

namespace tamsel::webpush {

inline constexpr std::size_t kPublicKeySize = 65;
inline constexpr std::size_t kPrivateKeySize = 32;
using PublicKey = std::array<std::uint8_t, kPublicKeySize>;

// An OpenSSL call failed on input that had already been checked (out of memory,
// a missing provider). The text names the step only, never key material.
class CryptoFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A fixed-size secret that is wiped when it goes away.
template <std::size_t N>
class SecretBytes {
  public:
    SecretBytes() = default;
    SecretBytes(const SecretBytes&) = default;
    SecretBytes& operator=(const SecretBytes&) = default;
    ~SecretBytes() { OPENSSL_cleanse(bytes_.data(), N); }
    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    static constexpr std::size_t size() { return N; }
    std::span<std::uint8_t, N> span() { return bytes_; }
    std::span<const std::uint8_t, N> span() const { return bytes_; }

  private:
    std::array<std::uint8_t, N> bytes_{};
};

// Shared, immutable key: OpenSSL keys may be used from several threads at once
// as long as nobody changes them, and copies cost a reference count.
using PKey = std::shared_ptr<EVP_PKEY>;

namespace p256 {

// A fresh key pair. Throws CryptoFailure.
PKey generate();

// The key pair for a private scalar, or nullptr unless `scalar` is 32 bytes
// with 0 < scalar < the group order. Throws CryptoFailure.
PKey fromPrivate(std::span<const std::uint8_t> scalar);

// A public key, or nullptr unless `point` is a 65-byte uncompressed point on
// the curve. Throws CryptoFailure.
PKey fromPublic(std::span<const std::uint8_t> point);

// The uncompressed point and the private scalar of `key` (the latter only for
// a key pair). Throw CryptoFailure.
PublicKey publicKey(EVP_PKEY& key);
SecretBytes<kPrivateKeySize> privateKey(EVP_PKEY& key);

}  // namespace p256
}  // namespace tamsel::webpush
