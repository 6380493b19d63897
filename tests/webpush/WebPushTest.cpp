#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "webpush/Base64Url.h"
#include "webpush/Encryption.h"
#include "webpush/Vapid.h"

namespace tamsel::webpush {
namespace {

using Bytes = std::vector<std::uint8_t>;

// RFC 8291 Appendix A.
constexpr char kReceiverPrivate[] = "q1dXpw3UpT5VOmu_cf_v6ih07Aems3njxI-JWgLcM94";
constexpr char kReceiverPublic[] =
    "BCVxsr7N_eNgVRqvHtD0zTZsEc6-VV-JvLexhqUzORcxaOzi6-AYWXvTBHm4bjyPjs7Vd8pZGH6SRpkNtoIAiw4";
constexpr char kSenderPrivate[] = "yfWPiYE-n46HLnH0KqZOF1fJJU3MYrct3AELtAQ-oRw";
constexpr char kAuth[] = "BTBZMqHH6r4Tts7J_aSIgg";
constexpr char kSalt[] = "DGv6ra1nlYgDCS1FRnbzlw";
constexpr char kMessage[] =
    "DGv6ra1nlYgDCS1FRnbzlwAAEABBBP4z9KsN6nGRTbVYI_"
    "c7VJSPQTBtkgcy27mlmlMoZIIgDll6e3vCYLocInmYWAmS6TlzAC8wEqKK6PBru3jl7A_"
    "yl95bQpu6cVPTpK4Mqgkf1CXztLVBSt2Ks3oZwbuwXPXLWyouBWLVWGNWQexSgSxsj_Qulcy4a-fN";
constexpr std::string_view kPlaintext = "When I grow up, I want to be a watermelon";

// RFC 8292 section 2.4.
constexpr char kVapidToken[] =
    "eyJ0eXAiOiJKV1QiLCJhbGciOiJFUzI1NiJ9."
    "eyJhdWQiOiJodHRwczovL3B1c2guZXhhbXBsZS5uZXQiLCJleHAiOjE0NTM1MjM3NjgsInN1YiI6"
    "Im1haWx0bzpwdXNoQGV4YW1wbGUuY29tIn0.i3CYb7t4xfxCDquptFOepC9GAu_"
    "HLGkMlMuCGSK2rpiUfnK9ojFwDXb1JrErtmysazNjjvW2L9OkSSHz"
    "voD1oA";
constexpr char kVapidKey[] =
    "BA1Hxzyi1RUM1b5wjxsn7nGxAszw2u61m164i3MrAIxHF6YK5h4SDYic-dRuU_RCPCfA5aq9ojSwk5Y2EmClBPs";
constexpr char kVapidAudience[] = "https://push.example.net";
const VapidClock::time_point kVapidExpiry{std::chrono::seconds(1453523768)};

Bytes decoded(std::string_view text) {
    auto bytes = base64urlDecode(text);
    EXPECT_TRUE(bytes) << text;
    return bytes.value_or(Bytes{});
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

template <std::size_t N>
std::array<std::uint8_t, N> arrayOf(std::string_view text) {
    Bytes bytes = decoded(text);
    std::array<std::uint8_t, N> out{};
    EXPECT_EQ(bytes.size(), N);
    std::copy_n(bytes.begin(), std::min(N, bytes.size()), out.begin());
    return out;
}

ReceiverKeys rfcReceiver() {
    return ReceiverKeys::fromParts(decoded(kReceiverPrivate), decoded(kAuth)).value();
}

EncryptOptions rfcSender() {
    EncryptOptions options;
    options.salt = arrayOf<kSaltSize>(kSalt);
    options.senderPrivateKey = arrayOf<kPrivateKeySize>(kSenderPrivate);
    return options;
}

TEST(Base64UrlTest, DecodesOnlyCanonicalUnpaddedText) {
    for (std::size_t n = 0; n <= 6; ++n) {
        Bytes bytes(n, 0xfb);  // 0xfb.. encodes to '-' and '_', the characters base64url changes
        EXPECT_EQ(base64urlDecode(base64urlEncode(bytes)), bytes) << n;
    }
    EXPECT_EQ(base64urlEncode(bytesOf("foob")), "Zm9vYg");
    EXPECT_EQ(base64urlDecode("Zm9vYg"), bytesOf("foob"));
    for (const char* refused : {"Zm9vYg==", "Zm9vYh", "Zm9vY", "Zm9v+g", "Zm9v/g", "Zm9 vYg", "Zm9vYg\n"}) {
        SCOPED_TRACE(refused);
        EXPECT_FALSE(base64urlDecode(refused));
    }
}

TEST(WebPushTest, EncryptsTheRfcExampleByteForByte) {
    ReceiverKeys receiver = rfcReceiver();
    ASSERT_EQ(Bytes(receiver.publicKey().begin(), receiver.publicKey().end()), decoded(kReceiverPublic));
    Bytes body = encrypt(receiver.publicKey(), decoded(kAuth), bytesOf(kPlaintext), rfcSender());
    EXPECT_EQ(base64urlEncode(body), kMessage);
}

TEST(WebPushTest, DecryptsTheRfcExample) {
    DecryptResult result = decrypt(rfcReceiver(), decoded(kMessage));
    ASSERT_TRUE(result) << describe(*result.error);
    EXPECT_EQ(std::string(result.plaintext.begin(), result.plaintext.end()), kPlaintext);
}

TEST(WebPushTest, RefusesEachMalformedMessageForItsReason) {
    const Bytes good = decoded(kMessage);  // 86-byte header, then a 58-byte record
    auto changed = [&](std::function<void(Bytes&)> change) {
        return [&good, change] {
            Bytes body = good;
            change(body);
            return body;
        };
    };
    auto recordSize = [](std::uint32_t rs) {
        return [rs](Bytes& b) {
            for (int i = 0; i < 4; ++i) b[16 + i] = static_cast<std::uint8_t>(rs >> (24 - 8 * i));
        };
    };
    // An authentic message whose record (delimiter and padding included) is exactly `record`.
    auto sealed = [](std::string record, std::uint32_t rs = kRecordSize) {
        return [record, rs] {
            EncryptOptions options = rfcSender();
            options.recordSize = rs;
            return detail::sealRecord(decoded(kReceiverPublic), decoded(kAuth), bytesOf(record), options);
        };
    };
    using std::literals::string_literals::operator""s;
    struct Case {
        const char* name;
        std::function<Bytes()> body;
        std::optional<DecryptError> expected;  // nullopt: accepted
    };
    const Case cases[] = {
        {"empty body", changed([](Bytes& b) { b.clear(); }), DecryptError::HeaderTooShort},
        {"cut before the key id length", changed([](Bytes& b) { b.resize(20); }),
         DecryptError::HeaderTooShort},
        {"cut inside the key id", changed([](Bytes& b) { b.resize(85); }), DecryptError::HeaderTooShort},
        {"record size 17", changed(recordSize(17)), DecryptError::RecordSizeTooSmall},
        {"key id length 64", changed([](Bytes& b) { b[20] = 64; }), DecryptError::KeyIdLength},
        {"key id in compressed form", changed([](Bytes& b) { b[21] = 0x02; }), DecryptError::KeyIdNotOnCurve},
        {"key id off the curve", changed([](Bytes& b) { b[85] ^= 0x01; }), DecryptError::KeyIdNotOnCurve},
        {"record one byte over rs", changed(recordSize(57)), DecryptError::MultipleRecords},
        {"record exactly rs", changed(recordSize(58)), std::nullopt},
        {"record shorter than the tag", changed([](Bytes& b) { b.resize(86 + 15); }),
         DecryptError::RecordTooShort},
        {"salt changed", changed([](Bytes& b) { b[0] ^= 0x01; }), DecryptError::AuthenticationFailed},
        {"ciphertext changed", changed([](Bytes& b) { b[90] ^= 0x80; }), DecryptError::AuthenticationFailed},
        {"tag changed", changed([](Bytes& b) { b.back() ^= 0x01; }), DecryptError::AuthenticationFailed},
        {"last byte dropped", changed([](Bytes& b) { b.pop_back(); }), DecryptError::AuthenticationFailed},
        {"another sender's key id", changed([](Bytes& b) {
             Bytes other = decoded(kReceiverPublic);
             std::copy(other.begin(), other.end(), b.begin() + 21);
         }),
         DecryptError::AuthenticationFailed},
        {"empty record", sealed(""), DecryptError::PaddingMissing},
        {"only zeros", sealed("\0\0\0"s), DecryptError::PaddingMissing},
        {"no delimiter", sealed("hello"), DecryptError::PaddingDelimiter},
        {"delimiter of a record that is not the last", sealed("hello\x01"), DecryptError::PaddingDelimiter},
        {"non-zero byte after the delimiter", sealed("hello\x02\0\x07"s), DecryptError::PaddingDelimiter},
        {"zero padding after the delimiter", sealed("hello\x02\0\0"s), std::nullopt},
        {"4096 bytes of plaintext", sealed(std::string(4096, 'a') + '\x02', 8192), std::nullopt},
        {"4097 bytes of plaintext", sealed(std::string(4097, 'a') + '\x02', 8192),
         DecryptError::PlaintextTooLarge},
    };
    ReceiverKeys receiver = rfcReceiver();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DecryptResult result = decrypt(receiver, c.body());
        EXPECT_EQ(result.error, c.expected) << (result.error ? describe(*result.error) : "accepted");
        if (result.error) {
            EXPECT_TRUE(result.plaintext.empty());
        }
    }
}

TEST(WebPushTest, RoundTripsWithFreshKeysForItsReceiverOnly) {
    ReceiverKeys alice = ReceiverKeys::generate();
    ReceiverKeys bob = ReceiverKeys::generate();
    Bytes largest(kRecordSize - kTagSize - 1, 'x');  // all one 4096-byte record holds
    Bytes body = encrypt(alice.publicKey(), alice.authSecret(), largest);
    EXPECT_NE(body, encrypt(alice.publicKey(), alice.authSecret(), largest))
        << "salt and sender key are fresh";

    std::optional<ReceiverKeys> restored = ReceiverKeys::fromJson(alice.toJson());
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->publicKey(), alice.publicKey());
    DecryptResult opened = decrypt(*restored, body);
    ASSERT_TRUE(opened) << describe(*opened.error);
    EXPECT_EQ(opened.plaintext, largest);
    EXPECT_EQ(decrypt(bob, body).error, DecryptError::AuthenticationFailed);

    largest.push_back('x');
    EXPECT_THROW(encrypt(alice.publicKey(), alice.authSecret(), largest), std::invalid_argument);
    PublicKey offCurve = alice.publicKey();
    offCurve[64] ^= 0x01;
    EXPECT_THROW(encrypt(offCurve, alice.authSecret(), bytesOf("hi")), std::invalid_argument);
    EXPECT_THROW(encrypt(alice.publicKey(), alice.authSecret().first(15), bytesOf("hi")),
                 std::invalid_argument);
}

TEST(WebPushTest, RestoresOnlyWellFormedStoredKeys) {
    nlohmann::json stored = rfcReceiver().toJson();
    EXPECT_EQ(stored, nlohmann::json({{"privateKey", kReceiverPrivate}, {"auth", kAuth}}));
    const std::pair<const char*, nlohmann::json> refused[] = {
        {"not an object", nlohmann::json::array()},
        {"no auth", {{"privateKey", kReceiverPrivate}}},
        {"auth of 15 bytes", {{"privateKey", kReceiverPrivate}, {"auth", "BTBZMqHH6r4Tts7J_aSI"}}},
        {"padded auth", {{"privateKey", kReceiverPrivate}, {"auth", std::string(kAuth) + "=="}}},
        {"zero scalar", {{"privateKey", base64urlEncode(Bytes(32, 0))}, {"auth", kAuth}}},
        {"scalar above the order", {{"privateKey", base64urlEncode(Bytes(32, 0xff))}, {"auth", kAuth}}},
        {"number for a key", {{"privateKey", 1}, {"auth", kAuth}}},
    };
    for (const auto& [name, value] : refused) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(ReceiverKeys::fromJson(value));
    }
}

TEST(VapidTest, VerifiesTheRfcExampleAndSignsTheSameClaims) {
    std::string header = std::string("vapid t=") + kVapidToken + ", k=" + kVapidKey;
    auto claims = verifyVapid(header, kVapidAudience, kVapidExpiry - std::chrono::hours(1));
    ASSERT_TRUE(claims);
    EXPECT_EQ(claims->subject, "mailto:push@example.com");
    EXPECT_EQ(claims->expiry, kVapidExpiry);
    EXPECT_EQ(base64urlEncode(claims->publicKey), kVapidKey);

    std::string tampered = header;
    tampered[tampered.find(", k=") - 1] ^= 0x01;  // last character of the signature
    const std::pair<const char*, std::optional<VapidClaims>> refused[] = {
        {"expired", verifyVapid(header, kVapidAudience, kVapidExpiry)},
        {"over a day ahead", verifyVapid(header, kVapidAudience, kVapidExpiry - std::chrono::hours(25))},
        {"another audience",
         verifyVapid(header, "https://push.example.org", kVapidExpiry - std::chrono::hours(1))},
        {"signature changed", verifyVapid(tampered, kVapidAudience, kVapidExpiry - std::chrono::hours(1))},
        {"another scheme", verifyVapid("WebPush " + header.substr(6), kVapidAudience, kVapidExpiry)},
    };
    for (const auto& [name, result] : refused) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(result);
    }

    // ES256 signatures are randomised, but the signed input is not: ours is the RFC's.
    std::string ours =
        VapidKey::generate().authorization(kVapidAudience, "mailto:push@example.com", kVapidExpiry);
    std::string_view rfc = kVapidToken;
    EXPECT_EQ(ours.substr(8, rfc.rfind('.') + 1), rfc.substr(0, rfc.rfind('.') + 1));
}

TEST(VapidTest, AuthorizationCarriesAnEs256TokenThatVerifiesAgainstK) {
    VapidKey key = VapidKey::generate();
    auto now = VapidClock::now();
    auto expiry = std::chrono::time_point_cast<std::chrono::seconds>(now + std::chrono::hours(12));
    std::string header = key.authorization("https://push.example.net:8443", "mailto:ops@example.com", expiry);

    // "vapid t=<header>.<claims>.<signature>, k=<key>", every part URL-safe Base64.
    const std::string prefix = "vapid t=", separator = ", k=";
    ASSERT_EQ(header.rfind(prefix, 0), 0u) << header;
    const std::size_t keyAt = header.find(separator);
    ASSERT_NE(keyAt, std::string::npos) << header;
    const std::string token = header.substr(prefix.size(), keyAt - prefix.size());
    const std::string publicKey = header.substr(keyAt + separator.size());
    std::vector<std::string> parts;
    for (std::size_t from = 0, dot = 0; dot != std::string::npos; from = dot + 1) {
        dot = token.find('.', from);
        parts.push_back(token.substr(from, dot == std::string::npos ? dot : dot - from));
    }
    ASSERT_EQ(parts.size(), 3u) << token;
    for (const std::string& part : {parts[0], parts[1], parts[2], publicKey}) {
        EXPECT_TRUE(!part.empty() &&
                    part.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                           "0123456789-_") == std::string::npos)
            << part;
    }
    EXPECT_EQ(decoded(parts[0]), bytesOf(R"({"typ":"JWT","alg":"ES256"})"));
    Bytes claimText = decoded(parts[1]);
    EXPECT_EQ(
        nlohmann::json::parse(claimText),
        nlohmann::json(
            {{"aud", "https://push.example.net:8443"},
             {"exp", std::chrono::duration_cast<std::chrono::seconds>(expiry.time_since_epoch()).count()},
             {"sub", "mailto:ops@example.com"}}));
    EXPECT_EQ(decoded(parts[2]).size(), 64u) << "raw r||s, not DER";
    EXPECT_EQ(publicKey, key.publicKeyBase64url());

    auto claims = verifyVapid(header, "https://push.example.net:8443", now);
    ASSERT_TRUE(claims);
    EXPECT_EQ(claims->publicKey, key.publicKey());
    EXPECT_EQ(claims->expiry, expiry);
    // Parameters may come in either order; a different k no longer matches the signature.
    EXPECT_TRUE(verifyVapid("vapid k=" + publicKey + ",t=" + token, "https://push.example.net:8443", now));
    std::string otherKey =
        header.substr(0, keyAt + separator.size()) + VapidKey::generate().publicKeyBase64url();
    EXPECT_FALSE(verifyVapid(otherKey, "https://push.example.net:8443", now));

    std::optional<VapidKey> restored = VapidKey::fromPrivateKey(key.privateKeyBase64url());
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->publicKey(), key.publicKey());
}

}  // namespace
}  // namespace tamsel::webpush
