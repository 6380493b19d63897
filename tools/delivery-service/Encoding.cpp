#include "tools/delivery-service/Encoding.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace tamsel::delivery {

std::string base64url(const unsigned char* bytes, std::size_t size) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((size * 4 + 2) / 3);
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (size - i == 1) {
        unsigned v = bytes[i] << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
    } else if (size - i == 2) {
        unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
    }
    return out;
}

namespace {
template <std::size_t N>
std::array<unsigned char, N> randomBytes() {
    std::array<unsigned char, N> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(N)) != 1)
        throw std::runtime_error("no randomness available");
    return bytes;
}
}  // namespace

std::string randomProof() {
    auto bytes = randomBytes<32>();
    return base64url(bytes.data(), bytes.size());
}

std::string randomIdentifier(std::string_view prefix) {
    auto bytes = randomBytes<16>();
    return std::string(prefix) + base64url(bytes.data(), bytes.size());
}

std::string rfc3339(TimePoint t) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    long millis = static_cast<long>(ms % 1000);
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

double secondsSinceReferenceDate(TimePoint t) {
    // 2001-01-01T00:00:00Z is 978307200 seconds after the Unix epoch.
    using namespace std::chrono;
    return duration<double>(t.time_since_epoch()).count() - 978307200.0;
}

bool sameSecret(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace tamsel::delivery
