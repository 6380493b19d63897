#include "Services/NotificationDeliveryRecords.h"

#include "platform/Regex.h"

namespace TamselNotificationService {

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

// Decodes valid UTF-8 (JSON strings always are) into scalars.
std::u32string decode(const std::string& utf8) {
    std::u32string out;
    for (std::size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        char32_t value = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < utf8.size(); ++k)
            value = (value << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        out.push_back(value);
        i += 1 + extra;
    }
    return out;
}

}  // namespace

std::optional<std::string> NotificationDeliveryRecordValidators::safeSenderName(
    const std::optional<std::string>& name) {
    if (!name) return std::nullopt;
    auto scalars = decode(*name);
    bool blank = true;
    for (char32_t c : scalars) blank = blank && isWhiteSpace(c);
    if (blank) return std::nullopt;
    if (scalars.size() > 90) return std::nullopt;
    static const Regex impersonation(R"(@|(?:https?|tel|sms|mailto):|\d[\d\s().+\-]{3,}\d|^\+?[\d\s().-]+$)",
                                     Regex::Options{.caseInsensitive = true});
    static const Regex control(R"([\x00-\x1f\x7f-\x9f\x{202a}-\x{202e}\x{2066}-\x{2069}])");
    if (impersonation.search(*name) || control.search(*name)) return std::nullopt;
    return name;
}

}  // namespace TamselNotificationService
