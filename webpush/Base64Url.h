#pragma once
// base64url (RFC 4648 section 5) as Web Push uses it everywhere: keys, auth
// secrets, JWT parts. Always unpadded.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tamsel::webpush {

// The unpadded base64url text of `bytes`.
std::string base64urlEncode(std::span<const std::uint8_t> bytes);

// Strict inverse of base64urlEncode: only the characters A-Z a-z 0-9 - _, no
// padding, no whitespace, a length that is not 1 mod 4 and zero unused bits in
// the last character, so each byte string has exactly one accepted text.
// Anything else gives std::nullopt.
std::optional<std::vector<std::uint8_t>> base64urlDecode(std::string_view text);

}  // namespace tamsel::webpush
