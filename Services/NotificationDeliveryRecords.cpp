#include "Services/NotificationDeliveryRecords.h"

#include <chrono>
#include <cmath>
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

namespace NotificationDeliveryRecords {

bool newer(const std::string& candidate, const std::string& than) {
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

[[noreturn]] void refuse() { throw NotificationDeliveryFailure::response(); }

// The member, which exact() has already required, or a refusal.
const Json& member(const Json& object, const char* name) {
    auto it = object.find(name);
    if (it == object.end()) refuse();
    return *it;
}

const std::string& stringMember(const Json& object, const char* name) {
    const Json& value = member(object, name);
    if (!value.is_string()) refuse();
    return value.get_ref<const std::string&>();
}

// Text shown to the user: valid UTF-8 of at most `limit` scalars.
bool fitsText(const std::string& value, std::size_t limit) {
    auto scalars = decodeUtf8(value);
    return scalars && scalars->size() <= limit;
}

std::int64_t countOfUnread(const Json& value) {
    constexpr std::uint64_t most = 9007199254740991;  // 2^53 - 1
    // nlohmann keeps booleans apart from numbers, but say so: true is never 1.
    if (value.is_boolean() || !value.is_number()) refuse();
    // Integers are compared exactly; as doubles they would give the same
    // answers, since every integer above the limit rounds to 2^53 or more.
    if (value.is_number_unsigned()) {
        auto count = value.get<std::uint64_t>();
        if (count > most) refuse();
        return static_cast<std::int64_t>(count);
    }
    if (value.is_number_integer()) {
        auto count = value.get<std::int64_t>();
        if (count < 0 || static_cast<std::uint64_t>(count) > most) refuse();
        return count;
    }
    double count = value.get<double>();
    if (std::isnan(count) || count < 0 || count > static_cast<double>(most) || std::floor(count) != count)
        refuse();
    return static_cast<std::int64_t>(count);
}

}  // namespace

// Each pattern is compiled once, on first use, and then shared by every thread.
bool identifier(const std::string& value) {
    static const Regex pattern(kIdentifierPattern);
    return matches(pattern, value);
}

bool proof(const std::string& value) {
    static const Regex pattern(kProofPattern);
    return matches(pattern, value);
}

bool revision(const std::string& value) {
    static const Regex pattern(kRevisionPattern);
    return matches(pattern, value);
}

bool groupKey(const std::string& value) {
    static const Regex pattern(kGroupKeyPattern);
    return matches(pattern, value);
}

bool senderIdentifier(const std::string& value) {
    static const Regex pattern(kSenderIdentifierPattern);
    return matches(pattern, value);
}

void exact(const Json& object, const std::set<std::string>& keys) {
    // Member names are unique, so equal sizes and every name listed make the sets equal.
    if (!object.is_object() || object.size() != keys.size()) refuse();
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!keys.contains(it.key())) refuse();
}

NotificationDeliveryChange change(const Json& record) {
    exact(record, {"notificationId", "notificationRevision", "state", "presentation"});
    const std::string& notificationID = stringMember(record, "notificationId");
    if (!identifier(notificationID)) refuse();
    const std::string& notificationRevision = stringMember(record, "notificationRevision");
    if (!revision(notificationRevision)) refuse();
    const std::string& state = stringMember(record, "state");
    const Json& presentation = member(record, "presentation");

    NotificationDeliveryChange result;
    result.notificationID = notificationID;
    result.revision = notificationRevision;
    if (state == "withdrawn" && presentation.is_null()) {
        result.withdrawn = true;
        return result;
    }
    if (state != "available" || !presentation.is_object()) refuse();

    auto senderMember = presentation.find("sender");
    bool hasSender = senderMember != presentation.end();
    if (hasSender)
        exact(presentation, {"title", "body", "target", "attention", "sender"});
    else
        exact(presentation, {"title", "body", "target", "attention"});
    result.sender = sender(hasSender ? &*senderMember : nullptr);

    const std::string& title = stringMember(presentation, "title");
    if (title.empty() || !fitsText(title, kTitleScalars)) refuse();
    const std::string& body = stringMember(presentation, "body");
    if (!fitsText(body, kBodyScalars)) refuse();

    const Json& target = member(presentation, "target");
    if (!target.is_object()) refuse();
    for (const Json& value : target)
        if (!value.is_string()) refuse();

    const Json& attention = member(presentation, "attention");
    exact(attention, {"policyVersion", "groupKey", "audible"});
    if (stringMember(attention, "policyVersion") != "notification-attention.v1") refuse();
    const std::string& group = stringMember(attention, "groupKey");
    if (!groupKey(group)) refuse();
    const Json& audible = member(attention, "audible");
    if (!audible.is_boolean()) refuse();

    static const std::map<std::string, std::set<std::string>, std::less<>> targetKeys{
        {"communication", {"kind", "communicationId", "channelThreadId"}},
        {"internal_chat", {"kind", "internalChatThreadId", "internalChatMessageId"}},
        {"channel_thread", {"kind", "channelThreadId", "contactConversationId"}},
    };
    auto kindMember = target.find("kind");
    std::string kind = kindMember == target.end() ? std::string() : kindMember->get<std::string>();
    auto keys = targetKeys.find(kind);
    if (keys == targetKeys.end()) refuse();
    exact(target, keys->second);
    for (auto it = target.begin(); it != target.end(); ++it)
        if (it.key() != "kind" && !identifier(it->get_ref<const std::string&>())) refuse();

    result.title = title;
    result.body = body;
    result.groupKey = group;
    result.audible = audible.get<bool>();
    for (auto it = target.begin(); it != target.end(); ++it)
        result.target.emplace(it.key(), it->get<std::string>());
    return result;
}

std::optional<NotificationDeliverySender> sender(const Json* value) {
    if (!value || value->is_null()) return std::nullopt;
    if (!value->is_object()) refuse();
    exact(*value, {"schema", "canonicalId", "displayName"});
    if (stringMember(*value, "schema") != "notification_sender.v1") refuse();
    const std::string& canonicalID = stringMember(*value, "canonicalId");
    if (!senderIdentifier(canonicalID)) refuse();
    const Json& name = member(*value, "displayName");
    std::optional<std::string> displayName;
    if (name.is_string()) {
        displayName = name.get<std::string>();
        // Too long rejects the record; merely unsafe only drops the name.
        if (scalarCount(*displayName) > kSenderNameScalars) refuse();
    } else if (!name.is_null()) {
        refuse();
    }
    return NotificationDeliverySender{canonicalID, safeSenderName(displayName)};
}

std::optional<std::string> safeSenderName(const std::optional<std::string>& name) {
    if (!name) return std::nullopt;
    // A name that is not text at all cannot be shown safely.
    auto scalars = decodeUtf8(*name);
    if (!scalars) return std::nullopt;
    bool blank = true;
    for (char32_t c : *scalars) blank = blank && isWhiteSpace(c);
    if (blank) return std::nullopt;
    if (scalars->size() > kSenderNameScalars) return std::nullopt;
    static const Regex impersonation(kImpersonationPattern, Regex::Options{.caseInsensitive = true});
    static const Regex control(kControlPattern);
    if (impersonation.search(*name) || control.search(*name)) return std::nullopt;
    return name;
}

bool acceptsAuthorizationRevision(const std::string& candidate, const std::string& after) {
    static const Regex pattern(kAuthorizationRevisionPattern);
    if (!matches(pattern, candidate) || !matches(pattern, after)) return false;
    return candidate == after || newer(candidate, after);
}

NotificationBadge badge(const Json& record, const std::string& receiver) {
    exact(record, {"receiverId", "revision", "unreadCount"});
    if (stringMember(record, "receiverId") != receiver) refuse();
    const std::string& badgeRevision = stringMember(record, "revision");
    if (!revision(badgeRevision)) refuse();
    return NotificationBadge{receiver, badgeRevision, countOfUnread(member(record, "unreadCount"))};
}

}  // namespace NotificationDeliveryRecords

namespace {

// Reads an RFC 3339 date-time front to back; every field has a fixed width
// except the fraction, and nothing may be left over.
class DateReader {
  public:
    explicit DateReader(std::string_view text) : text_(text) {}

    std::optional<int> digits(std::size_t count) {
        if (text_.size() - position_ < count) return std::nullopt;
        int value = 0;
        for (std::size_t k = 0; k < count; ++k) {
            char c = text_[position_ + k];
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + (c - '0');
        }
        position_ += count;
        return value;
    }

    bool literal(char c) {
        if (position_ == text_.size() || text_[position_] != c) return false;
        ++position_;
        return true;
    }

    // One or more digits after the point; those past nanoseconds are dropped.
    std::optional<std::chrono::nanoseconds> fraction() {
        std::size_t start = position_;
        std::int64_t nanoseconds = 0;
        for (; position_ < text_.size() && text_[position_] >= '0' && text_[position_] <= '9'; ++position_)
            if (position_ - start < 9) nanoseconds = nanoseconds * 10 + (text_[position_] - '0');
        std::size_t count = position_ - start;
        if (count == 0) return std::nullopt;
        for (; count < 9; ++count) nanoseconds *= 10;
        return std::chrono::nanoseconds(nanoseconds);
    }

    bool atEnd() const { return position_ == text_.size(); }

  private:
    std::string_view text_;
    std::size_t position_ = 0;
};

}  // namespace

std::optional<tamsel::platform::TimePoint> NotificationDeliveryRecords::date(const std::string& value) {
    using namespace std::chrono;
    using tamsel::platform::TimePoint;
    DateReader reader(value);
    auto year = reader.digits(4);
    if (!year || !reader.literal('-')) return std::nullopt;
    auto month = reader.digits(2);
    if (!month || !reader.literal('-')) return std::nullopt;
    auto day = reader.digits(2);
    if (!day || !reader.literal('T')) return std::nullopt;
    auto hour = reader.digits(2);
    if (!hour || !reader.literal(':')) return std::nullopt;
    auto minute = reader.digits(2);
    if (!minute || !reader.literal(':')) return std::nullopt;
    auto second = reader.digits(2);
    if (!second) return std::nullopt;
    nanoseconds fraction{0};
    if (reader.literal('.')) {
        auto read = reader.fraction();
        if (!read) return std::nullopt;
        fraction = *read;
    }
    minutes offset{0};
    if (!reader.literal('Z')) {
        int sign = reader.literal('+') ? 1 : reader.literal('-') ? -1 : 0;
        if (sign == 0) return std::nullopt;
        auto offsetHours = reader.digits(2);
        if (!offsetHours || !reader.literal(':')) return std::nullopt;
        auto offsetMinutes = reader.digits(2);
        if (!offsetMinutes || *offsetHours > 23 || *offsetMinutes > 59) return std::nullopt;
        offset = sign * (hours(*offsetHours) + minutes(*offsetMinutes));
    }
    if (!reader.atEnd()) return std::nullopt;

    year_month_day calendarDay{std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(*month)),
                               std::chrono::day(static_cast<unsigned>(*day))};
    // A leap second (60) has no place on this clock, so it is out of range too.
    if (!calendarDay.ok() || *hour > 23 || *minute > 59 || *second > 59) return std::nullopt;
    sys_seconds local = sys_days(calendarDay) + hours(*hour) + minutes(*minute) + seconds(*second);
    seconds utc = (local - offset).time_since_epoch();
    // The clock's 64-bit count spans only a few centuries around 1970; a time
    // outside it is nothing rather than an overflow.
    const seconds latest = duration_cast<seconds>(TimePoint::duration::max()) - seconds(1);
    const seconds earliest = duration_cast<seconds>(TimePoint::duration::min()) + seconds(1);
    if (utc > latest || utc < earliest) return std::nullopt;
    return TimePoint(duration_cast<TimePoint::duration>(utc) + duration_cast<TimePoint::duration>(fraction));
}

NotificationBadge NotificationBadge::decode(const Json& record, const std::string& receiver) {
    return NotificationDeliveryRecords::badge(record, receiver);
}

}  // namespace TamselNotificationService
