#include "webpush/Vapid.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

#include "webpush/Base64Url.h"

namespace tamsel::webpush {
namespace {

using Bytes = std::span<const std::uint8_t>;

// Written as literal text so the signed bytes never depend on a JSON writer.
constexpr std::string_view kJwtHeader = R"({"typ":"JWT","alg":"ES256"})";
constexpr int kCoordinate = 32;
using RawSignature = std::array<std::uint8_t, 2 * kCoordinate>;

[[noreturn]] void fail(const char* step) {
    ERR_clear_error();
    throw CryptoFailure(std::string("webpush: OpenSSL failed to ") + step);
}

Bytes text(std::string_view s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

struct Free {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// ES256 (RFC 7518 section 3.4): ECDSA P-256 SHA-256, the signature as the raw
// 32-byte r and s rather than OpenSSL's DER.
RawSignature sign(EVP_PKEY& key, std::string_view input) {
    Owned<EVP_MD_CTX> md(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!md || EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, &key) != 1 ||
        EVP_DigestSign(md.get(), nullptr, &length, text(input).data(), input.size()) != 1)
        fail("sign a token");
    std::vector<std::uint8_t> der(length);
    if (EVP_DigestSign(md.get(), der.data(), &length, text(input).data(), input.size()) != 1)
        fail("sign a token");
    const unsigned char* cursor = der.data();
    Owned<ECDSA_SIG> signature(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)));
    RawSignature raw{};
    if (!signature ||
        BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), raw.data(), kCoordinate) != kCoordinate ||
        BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), raw.data() + kCoordinate, kCoordinate) != kCoordinate)
        fail("encode a signature");
    return raw;
}

bool verify(EVP_PKEY& key, std::string_view input, Bytes raw) {
    if (raw.size() != RawSignature().size()) return false;
    Owned<ECDSA_SIG> signature(ECDSA_SIG_new());
    Owned<BIGNUM> r(BN_bin2bn(raw.data(), kCoordinate, nullptr));
    Owned<BIGNUM> s(BN_bin2bn(raw.data() + kCoordinate, kCoordinate, nullptr));
    if (!signature || !r || !s || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1)
        fail("read a signature");
    r.release();  // now owned by the signature
    s.release();
    unsigned char* derRaw = nullptr;
    int derLength = i2d_ECDSA_SIG(signature.get(), &derRaw);
    Owned<unsigned char> der(derRaw);
    Owned<EVP_MD_CTX> md(EVP_MD_CTX_new());
    if (derLength <= 0 || !md || EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, &key) != 1)
        fail("verify a token");
    bool valid = EVP_DigestVerify(md.get(), der.get(), static_cast<std::size_t>(derLength),
                                  text(input).data(), input.size()) == 1;
    ERR_clear_error();
    return valid;
}

std::optional<nlohmann::json> jsonPart(std::string_view part) {
    auto bytes = base64urlDecode(part);
    if (!bytes) return std::nullopt;
    auto value = nlohmann::json::parse(bytes->begin(), bytes->end(), nullptr, false);
    if (!value.is_object()) return std::nullopt;
    return value;
}

const nlohmann::json* member(const nlohmann::json& object, const char* name) {
    auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

bool isString(const nlohmann::json* value, std::string_view expected) {
    return value && value->is_string() && value->get_ref<const std::string&>() == expected;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

VapidKey::VapidKey(PKey key) : key_(std::move(key)), publicKey_(p256::publicKey(*key_)) {}

VapidKey VapidKey::generate() { return VapidKey(p256::generate()); }

std::optional<VapidKey> VapidKey::fromPrivateKey(std::string_view base64url) {
    auto scalar = base64urlDecode(base64url);
    if (!scalar) return std::nullopt;
    PKey key = p256::fromPrivate(*scalar);
    OPENSSL_cleanse(scalar->data(), scalar->size());
    if (!key) return std::nullopt;
    return VapidKey(std::move(key));
}

std::string VapidKey::privateKeyBase64url() const { return base64urlEncode(p256::privateKey(*key_).span()); }

std::string VapidKey::publicKeyBase64url() const { return base64urlEncode(publicKey_); }

std::string VapidKey::authorization(std::string_view audienceOrigin, std::string_view subject,
                                    VapidClock::time_point expiry) const {
    if (audienceOrigin.empty()) throw std::invalid_argument("webpush: VAPID audience is empty");
    nlohmann::json claims = {
        {"aud", audienceOrigin},
        {"exp", std::chrono::duration_cast<std::chrono::seconds>(expiry.time_since_epoch()).count()},
    };
    if (!subject.empty()) claims["sub"] = subject;
    std::string payload;
    try {
        payload = claims.dump();
    } catch (const nlohmann::json::type_error&) {
        throw std::invalid_argument("webpush: VAPID audience or subject is not UTF-8");
    }
    std::string input = base64urlEncode(text(kJwtHeader)) + '.' + base64urlEncode(text(payload));
    auto signature = sign(*key_, input);
    return "vapid t=" + input + '.' + base64urlEncode(signature) + ", k=" + publicKeyBase64url();
}

std::optional<VapidClaims> verifyVapid(std::string_view headerValue, std::string_view expectedAudience,
                                       VapidClock::time_point now) {
    // The scheme name is case-insensitive (RFC 9110); parameters come in any order.
    constexpr std::string_view scheme = "vapid ";
    if (headerValue.size() < scheme.size()) return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if ((headerValue[i] | 0x20) != scheme[i]) return std::nullopt;
    std::optional<std::string_view> token, key;
    std::string_view rest = headerValue.substr(scheme.size());
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string_view param = trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        std::optional<std::string_view>* slot = param.starts_with("t=")   ? &token
                                                : param.starts_with("k=") ? &key
                                                                          : nullptr;
        if (!slot || *slot) return std::nullopt;  // unknown or repeated parameter
        *slot = param.substr(2);
    }
    if (!token || !key) return std::nullopt;

    std::size_t firstDot = token->find('.');
    std::size_t lastDot = token->rfind('.');
    if (firstDot == std::string_view::npos || firstDot == lastDot) return std::nullopt;
    auto header = jsonPart(token->substr(0, firstDot));
    auto claims = jsonPart(token->substr(firstDot + 1, lastDot - firstDot - 1));
    auto signature = base64urlDecode(token->substr(lastDot + 1));
    auto point = base64urlDecode(*key);
    if (!header || !claims || !signature || !point) return std::nullopt;
    const nlohmann::json* typ = member(*header, "typ");
    if (!isString(member(*header, "alg"), "ES256") || (typ && !isString(typ, "JWT"))) return std::nullopt;

    PKey publicKey = p256::fromPublic(*point);
    if (!publicKey || !verify(*publicKey, token->substr(0, lastDot), *signature)) return std::nullopt;

    VapidClaims result;
    std::copy(point->begin(), point->end(), result.publicKey.begin());
    const nlohmann::json* exp = member(*claims, "exp");
    const nlohmann::json* sub = member(*claims, "sub");
    if (!isString(member(*claims, "aud"), expectedAudience) || !exp || !exp->is_number_integer() ||
        (sub && !sub->is_string()))
        return std::nullopt;
    auto nowSeconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    // An unsigned value past the int64 range turns negative here and is refused as expired.
    auto expSeconds = exp->get<std::int64_t>();
    if (expSeconds <= nowSeconds ||
        expSeconds > nowSeconds + std::chrono::duration_cast<std::chrono::seconds>(kMaxVapidLifetime).count())
        return std::nullopt;
    result.audience = expectedAudience;
    result.expiry = VapidClock::time_point(std::chrono::seconds(expSeconds));
    if (sub) result.subject = sub->get<std::string>();
    return result;
}

}  // namespace tamsel::webpush
