#include "webpush/Encryption.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "webpush/Base64Url.h"

namespace tamsel::webpush {
namespace {

using Bytes = std::span<const std::uint8_t>;

[[noreturn]] void fail(const char* step) {
    throw CryptoFailure(std::string("webpush: OpenSSL failed to ") + step);
}

Bytes text(std::string_view s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

struct Free {
    void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
    void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// HKDF with SHA-256 in one of its two halves (RFC 5869): extract takes
// (salt, ikm), expand takes (prk, info).
void hkdf(int mode, Bytes key, Bytes saltOrInfo, std::span<std::uint8_t> out) {
    Owned<EVP_KDF> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    Owned<EVP_KDF_CTX> ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    if (!ctx) fail("set up HKDF");
    char digest[] = "SHA256";
    auto octets = [](const char* name, Bytes bytes) {
        return OSSL_PARAM_construct_octet_string(name, const_cast<std::uint8_t*>(bytes.data()), bytes.size());
    };
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        octets(OSSL_KDF_PARAM_KEY, key),
        octets(mode == EVP_KDF_HKDF_MODE_EXTRACT_ONLY ? OSSL_KDF_PARAM_SALT : OSSL_KDF_PARAM_INFO,
               saltOrInfo),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) fail("derive with HKDF");
}

SecretBytes<32> extract(Bytes salt, Bytes ikm) {
    SecretBytes<32> prk;
    hkdf(EVP_KDF_HKDF_MODE_EXTRACT_ONLY, ikm, salt, prk.span());
    return prk;
}

template <std::size_t N>
SecretBytes<N> expand(Bytes prk, Bytes info) {
    SecretBytes<N> out;
    hkdf(EVP_KDF_HKDF_MODE_EXPAND_ONLY, prk, info, out.span());
    return out;
}

SecretBytes<32> ecdh(EVP_PKEY& own, EVP_PKEY& peer) {
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, &own, nullptr));
    SecretBytes<32> secret;
    std::size_t length = secret.size();
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), &peer) != 1 ||
        EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1 || length != secret.size())
        fail("agree on an ECDH secret");
    return secret;
}

struct ContentKeys {
    SecretBytes<16> cek;
    SecretBytes<12> nonce;
};

// RFC 8291 section 3.3 and 3.4. `own` is either side's private key, `peer` the
// other side's public key; both sides end up with the same keys.
ContentKeys contentKeys(EVP_PKEY& own, EVP_PKEY& peer, const PublicKey& uaPublic, const PublicKey& asPublic,
                        Bytes auth, Bytes salt) {
    SecretBytes<32> shared = ecdh(own, peer);
    SecretBytes<32> prkKey = extract(auth, shared.span());
    constexpr std::string_view label("WebPush: info\0", 14);
    std::vector<std::uint8_t> keyInfo;
    keyInfo.reserve(label.size() + uaPublic.size() + asPublic.size());
    keyInfo.insert(keyInfo.end(), label.begin(), label.end());
    keyInfo.insert(keyInfo.end(), uaPublic.begin(), uaPublic.end());
    keyInfo.insert(keyInfo.end(), asPublic.begin(), asPublic.end());
    SecretBytes<32> ikm = expand<32>(prkKey.span(), keyInfo);
    SecretBytes<32> prk = extract(salt, ikm.span());
    return {expand<16>(prk.span(), text(std::string_view("Content-Encoding: aes128gcm\0", 28))),
            expand<12>(prk.span(), text(std::string_view("Content-Encoding: nonce\0", 24)))};
}

void putUint32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

}  // namespace

ReceiverKeys::ReceiverKeys(PKey key, std::span<const std::uint8_t, kAuthSecretSize> auth)
    : key_(std::move(key)), publicKey_(p256::publicKey(*key_)) {
    std::copy(auth.begin(), auth.end(), auth_.data());
}

ReceiverKeys ReceiverKeys::generate() {
    SecretBytes<kAuthSecretSize> auth;
    if (RAND_bytes(auth.data(), static_cast<int>(auth.size())) != 1) fail("draw an auth secret");
    return ReceiverKeys(p256::generate(), auth.span());
}

std::optional<ReceiverKeys> ReceiverKeys::fromParts(std::span<const std::uint8_t> privateKey,
                                                    std::span<const std::uint8_t> authSecret) {
    if (authSecret.size() != kAuthSecretSize) return std::nullopt;
    PKey key = p256::fromPrivate(privateKey);
    if (!key) return std::nullopt;
    return ReceiverKeys(std::move(key), authSecret.first<kAuthSecretSize>());
}

nlohmann::json ReceiverKeys::toJson() const {
    SecretBytes<kPrivateKeySize> scalar = p256::privateKey(*key_);
    return {{"privateKey", base64urlEncode(scalar.span())}, {"auth", base64urlEncode(auth_.span())}};
}

std::optional<ReceiverKeys> ReceiverKeys::fromJson(const nlohmann::json& stored) {
    if (!stored.is_object()) return std::nullopt;
    auto privateKey = stored.find("privateKey");
    auto auth = stored.find("auth");
    if (privateKey == stored.end() || auth == stored.end() || !privateKey->is_string() || !auth->is_string())
        return std::nullopt;
    auto scalar = base64urlDecode(privateKey->get_ref<const std::string&>());
    auto secret = base64urlDecode(auth->get_ref<const std::string&>());
    std::optional<ReceiverKeys> keys;
    if (scalar && secret) keys = fromParts(*scalar, *secret);
    if (scalar) OPENSSL_cleanse(scalar->data(), scalar->size());
    if (secret) OPENSSL_cleanse(secret->data(), secret->size());
    return keys;
}

std::string_view describe(DecryptError error) {
    switch (error) {
        case DecryptError::HeaderTooShort:
            return "message shorter than its header";
        case DecryptError::RecordSizeTooSmall:
            return "record size below 18";
        case DecryptError::KeyIdLength:
            return "key id is not 65 bytes";
        case DecryptError::KeyIdNotOnCurve:
            return "key id is not a P-256 point";
        case DecryptError::MultipleRecords:
            return "more than one record";
        case DecryptError::RecordTooShort:
            return "record shorter than its tag";
        case DecryptError::AuthenticationFailed:
            return "authentication failed";
        case DecryptError::PaddingMissing:
            return "no padding delimiter";
        case DecryptError::PaddingDelimiter:
            return "wrong padding delimiter";
        case DecryptError::PlaintextTooLarge:
            return "plaintext over 4096 bytes";
    }
    return "unknown refusal";
}

DecryptResult decrypt(const ReceiverKeys& keys, std::span<const std::uint8_t> body) {
    auto refuse = [](DecryptError error) { return DecryptResult{error, {}}; };
    if (body.size() < kSaltSize + 5) return refuse(DecryptError::HeaderTooShort);
    Bytes salt = body.first(kSaltSize);
    std::uint32_t rs = 0;
    for (std::size_t i = kSaltSize; i < kSaltSize + 4; ++i) rs = (rs << 8) | body[i];
    if (rs < kMinRecordSize) return refuse(DecryptError::RecordSizeTooSmall);
    if (body[kSaltSize + 4] != kPublicKeySize) return refuse(DecryptError::KeyIdLength);
    if (body.size() < kHeaderSize) return refuse(DecryptError::HeaderTooShort);
    Bytes keyId = body.subspan(kSaltSize + 5, kPublicKeySize);
    PKey sender = p256::fromPublic(keyId);
    if (!sender) return refuse(DecryptError::KeyIdNotOnCurve);
    Bytes record = body.subspan(kHeaderSize);
    if (record.size() > rs) return refuse(DecryptError::MultipleRecords);
    if (record.size() < kTagSize) return refuse(DecryptError::RecordTooShort);

    PublicKey asPublic;
    std::copy(keyId.begin(), keyId.end(), asPublic.begin());
    ContentKeys content =
        contentKeys(*keys.key_, *sender, keys.publicKey(), asPublic, keys.authSecret(), salt);

    // Single record, sequence number 0: the nonce is used as derived.
    Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    Bytes ciphertext = record.first(record.size() - kTagSize);
    Bytes tag = record.last(kTagSize);
    DecryptResult result;
    result.plaintext.resize(ciphertext.size());
    int length = 0;
    if (!ctx ||
        EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr, content.cek.data(), content.nonce.data()) !=
            1 ||
        EVP_DecryptUpdate(ctx.get(), result.plaintext.data(), &length, ciphertext.data(),
                          static_cast<int>(ciphertext.size())) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize),
                            const_cast<std::uint8_t*>(tag.data())) != 1)
        fail("run AES-128-GCM");
    int finalLength = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), result.plaintext.data() + length, &finalLength) != 1) {
        // Unauthenticated output is never handed out.
        OPENSSL_cleanse(result.plaintext.data(), result.plaintext.size());
        return refuse(DecryptError::AuthenticationFailed);
    }

    // Padding runs from the end: zeros, then the delimiter, which for the last
    // (here the only) record must be 0x02.
    auto& plain = result.plaintext;
    auto delimiter = std::find_if(plain.rbegin(), plain.rend(), [](std::uint8_t b) { return b != 0; });
    if (delimiter == plain.rend()) return refuse(DecryptError::PaddingMissing);
    if (*delimiter != 0x02) return refuse(DecryptError::PaddingDelimiter);
    plain.resize(static_cast<std::size_t>(plain.rend() - delimiter) - 1);
    if (plain.size() > kMaxPlaintext) return refuse(DecryptError::PlaintextTooLarge);
    return result;
}

namespace detail {

std::vector<std::uint8_t> sealRecord(std::span<const std::uint8_t> p256dh, std::span<const std::uint8_t> auth,
                                     std::span<const std::uint8_t> record, const EncryptOptions& options) {
    if (auth.size() != kAuthSecretSize) throw std::invalid_argument("webpush: auth secret must be 16 bytes");
    PKey receiver = p256::fromPublic(p256dh);
    if (!receiver) throw std::invalid_argument("webpush: p256dh is not an uncompressed P-256 point");
    if (options.recordSize < kMinRecordSize) throw std::invalid_argument("webpush: record size below 18");
    if (record.size() + kTagSize > options.recordSize)
        throw std::invalid_argument("webpush: plaintext does not fit one record");

    PKey sender;
    if (options.senderPrivateKey) {
        sender = p256::fromPrivate(*options.senderPrivateKey);
        if (!sender) throw std::invalid_argument("webpush: sender key is not a P-256 private key");
    } else {
        sender = p256::generate();
    }
    std::array<std::uint8_t, kSaltSize> salt{};
    if (options.salt)
        salt = *options.salt;
    else if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1)
        fail("draw a salt");

    PublicKey uaPublic;
    std::copy(p256dh.begin(), p256dh.end(), uaPublic.begin());
    PublicKey asPublic = p256::publicKey(*sender);
    ContentKeys content = contentKeys(*sender, *receiver, uaPublic, asPublic, auth, salt);

    std::vector<std::uint8_t> body(salt.begin(), salt.end());
    putUint32(body, options.recordSize);
    body.push_back(static_cast<std::uint8_t>(kPublicKeySize));
    body.insert(body.end(), asPublic.begin(), asPublic.end());
    std::size_t start = body.size();
    body.resize(start + record.size() + kTagSize);

    Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    int finalLength = 0;
    if (!ctx ||
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr, content.cek.data(), content.nonce.data()) !=
            1 ||
        EVP_EncryptUpdate(ctx.get(), body.data() + start, &length, record.data(),
                          static_cast<int>(record.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), body.data() + start + length, &finalLength) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize),
                            body.data() + start + record.size()) != 1)
        fail("run AES-128-GCM");
    return body;
}

}  // namespace detail

std::vector<std::uint8_t> encrypt(std::span<const std::uint8_t> p256dh, std::span<const std::uint8_t> auth,
                                  std::span<const std::uint8_t> plaintext, const EncryptOptions& options) {
    if (plaintext.size() > kMaxPlaintext) throw std::invalid_argument("webpush: plaintext over 4096 bytes");
    if (options.padding > options.recordSize)
        throw std::invalid_argument("webpush: plaintext does not fit one record");
    std::vector<std::uint8_t> record(plaintext.begin(), plaintext.end());
    record.push_back(0x02);
    record.resize(record.size() + options.padding, 0);
    auto body = detail::sealRecord(p256dh, auth, record, options);
    OPENSSL_cleanse(record.data(), record.size());
    return body;
}

}  // namespace tamsel::webpush
