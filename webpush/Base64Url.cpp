#include "webpush/Base64Url.h"

namespace tamsel::webpush {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int valueOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

}  // namespace

std::string base64urlEncode(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve((bytes.size() * 4 + 2) / 3);
    std::uint32_t bits = 0;
    int count = 0;
    for (std::uint8_t byte : bytes) {
        bits = (bits << 8) | byte;
        count += 8;
        while (count >= 6) {
            count -= 6;
            text.push_back(kAlphabet[(bits >> count) & 0x3f]);
        }
    }
    if (count > 0) text.push_back(kAlphabet[(bits << (6 - count)) & 0x3f]);
    return text;
}

std::optional<std::vector<std::uint8_t>> base64urlDecode(std::string_view text) {
    if (text.size() % 4 == 1) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() * 3 / 4);
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        int value = valueOf(c);
        if (value < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> count));
        }
    }
    // Leftover bits must be zero, or two texts would decode to the same bytes.
    if ((bits & ((1u << count) - 1)) != 0) return std::nullopt;
    return bytes;
}

}  // namespace tamsel::webpush
