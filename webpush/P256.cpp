#include "webpush/P256.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <string>

namespace tamsel::webpush::p256 {
namespace {

constexpr char kGroupName[] = "prime256v1";

[[noreturn]] void fail(const char* step) {
    ERR_clear_error();
    throw CryptoFailure(std::string("webpush: OpenSSL failed to ") + step);
}

struct Free {
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
    void operator()(BN_CTX* p) const { BN_CTX_free(p); }
    void operator()(EC_GROUP* p) const { EC_GROUP_free(p); }
    void operator()(EC_POINT* p) const { EC_POINT_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

PKey own(EVP_PKEY* key) { return PKey(key, EVP_PKEY_free); }

// Builds a key from its parts; `selection` says whether it is a pair or public only.
PKey fromData(const BIGNUM* scalar, std::span<const std::uint8_t> point, int selection) {
    Owned<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
    if (!builder ||
        !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, kGroupName, 0) ||
        !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                          point.size()) ||
        (scalar && !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar)))
        fail("build key parameters");
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0) fail("prepare a key import");
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &key, selection, params.get()) <= 0) {
        // A point that does not decode (off the curve, wrong form) ends here.
        ERR_clear_error();
        return nullptr;
    }
    return own(key);
}

}  // namespace

PKey generate() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key) fail("generate a P-256 key");
    return own(key);
}

PKey fromPrivate(std::span<const std::uint8_t> scalar) {
    if (scalar.size() != kPrivateKeySize) return nullptr;
    Owned<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    Owned<BN_CTX> bnCtx(BN_CTX_new());
    Owned<BIGNUM> d(BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), nullptr));
    if (!group || !bnCtx || !d) fail("read a private key");
    if (BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group.get())) >= 0) return nullptr;
    // EVP_PKEY_fromdata does not derive the public half: compute d*G here.
    Owned<EC_POINT> q(EC_POINT_new(group.get()));
    PublicKey point{};
    if (!q || !EC_POINT_mul(group.get(), q.get(), d.get(), nullptr, nullptr, bnCtx.get()) ||
        EC_POINT_point2oct(group.get(), q.get(), POINT_CONVERSION_UNCOMPRESSED, point.data(), point.size(),
                           bnCtx.get()) != point.size())
        fail("derive a public key");
    PKey key = fromData(d.get(), point, EVP_PKEY_KEYPAIR);
    if (!key) fail("import a private key");
    return key;
}

PKey fromPublic(std::span<const std::uint8_t> point) {
    if (point.size() != kPublicKeySize || point[0] != 0x04) return nullptr;
    PKey key = fromData(nullptr, point, EVP_PKEY_PUBLIC_KEY);
    if (!key) return nullptr;
    // Belt and braces: the import decodes the point, the check proves it lies
    // on the curve, so no invalid-curve point ever reaches ECDH.
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!ctx) fail("check a public key");
    if (EVP_PKEY_public_check(ctx.get()) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    return key;
}

PublicKey publicKey(EVP_PKEY& key) {
    PublicKey point{};
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(&key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &length) !=
            1 ||
        length != point.size() || point[0] != 0x04)
        fail("export a public key");
    return point;
}

SecretBytes<kPrivateKeySize> privateKey(EVP_PKEY& key) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(&key, OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1) fail("export a private key");
    Owned<BIGNUM> d(raw);
    SecretBytes<kPrivateKeySize> scalar;
    if (BN_bn2binpad(d.get(), scalar.data(), static_cast<int>(scalar.size())) !=
        static_cast<int>(scalar.size()))
        fail("export a private key");
    return scalar;
}

}  // namespace tamsel::webpush::p256
