#include "Services/NotificationDeliveryRecords.h"

#include <string_view>

#include "platform/Regex.h"

namespace TamselNotificationService {

using tamsel::platform::Json;
using tamsel::platform::Regex;

std::size_t scalarCount(const std::string& utf8) {
    std::size_t count = 0;
    // Every scalar has exactly one byte that is not a continuation byte.
    for (unsigned char c : utf8) count += (c & 0xC0) != 0x80;
    return count;
}

bool NotificationDeliveryRecordValidators::newer(const std::string& candidate, const std::string& than) {
    if (candidate.size() != than.size()) return candidate.size() > than.size();
    return than < candidate;
}

namespace {

// Unicode White_Space, the set the emptiness test trims.
bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Strict UTF-8 decoding: nothing for a cut sequence, a stray continuation byte,
// an overlong form, a surrogate or a value past U+10FFFF. Parsed JSON strings
// always decode; a string built some other way may not, and then nothing that
// searches or shows it may take it.
std::optional<std::u32string> decodeUtf8(std::string_view utf8) {
    std::u32string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t extra = 0;
        char32_t value = lead;
        char32_t least = 0;
        if (lead >= 0x80) {
            if (lead >= 0xC2 && lead <= 0xDF) {
                extra = 1;
                least = 0x80;
            } else if (lead >= 0xE0 && lead <= 0xEF) {
                extra = 2;
                least = 0x800;
            } else if (lead >= 0xF0 && lead <= 0xF4) {
                extra = 3;
                least = 0x10000;
            } else {
                return std::nullopt;
            }
            value = lead & (0x3F >> extra);
        }
        if (utf8.size() - i <= extra) return std::nullopt;
        for (std::size_t k = 1; k <= extra; ++k) {
            auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            value = (value << 6) | (next & 0x3F);
        }
        if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
        out.push_back(value);
        i += 1 + extra;
    }
    return out;
}

// A search the caller can trust: text that is not UTF-8 matches none of our
// patterns (the engine would raise on it rather than answer).
bool matches(const Regex& pattern, std::string_view value) {
    return decodeUtf8(value).has_value() && pattern.search(value);
}

}  // namespace

std::optional<std::string> NotificationDeliveryRecordValidators::safeSenderName(
    const std::optional<std::string>& name) {
    if (!name) return std::nullopt;
    // A name that is not text at all cannot be shown safely.
    auto scalars = decodeUtf8(*name);
    if (!scalars) return std::nullopt;
    bool blank = true;
    for (char32_t c : *scalars) blank = blank && isWhiteSpace(c);
    if (blank) return std::nullopt;
    if (scalars->size() > 90) return std::nullopt;
    static const Regex impersonation(R"(@|(?:https?|tel|sms|mailto):|\d[\d\s().+\-]{3,}\d|^\+?[\d\s().-]+$)",
                                     Regex::Options{.caseInsensitive = true});
    static const Regex control(R"([\x00-\x1f\x7f-\x9f\x{202a}-\x{202e}\x{2066}-\x{2069}])");
    if (impersonation.search(*name) || control.search(*name)) return std::nullopt;
    return name;
}

}  // namespace TamselNotificationService
