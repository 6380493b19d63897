#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "RecordTesting.h"
#include "Services/NotificationDeliveryWorker.h"
#include "platform/Json.h"

namespace TamselNotificationService {
namespace {

using tamsel::platform::Json;
using tamsel::platform::parseJson;

const std::string kReceiver = "rcv_0123456789abcdef";

// 10 to the power `zeros`, in digits.
std::string tenToThe(std::size_t zeros) {
    std::string digits = "1";
    digits.append(zeros, '0');
    return digits;
}

// The count as the reader gives it, from its JSON text.
Json badgeWithCount(const std::string& countText) {
    return parseJson(R"({"receiverId": ")" + kReceiver + R"(", "revision": "42", "unreadCount": )" +
                     countText + "}");
}

TEST(NotificationBadge, DecodesKnownGoodRecord) {
    EXPECT_EQ(NotificationBadge::decode(badgeWithCount("7"), kReceiver),
              (NotificationBadge{kReceiver, "42", 7}));
}

TEST(NotificationBadge, TakesOnlyIntegralCountsWithinRangeWhateverTheNumberForm) {
    struct Case {
        const char* text;
        std::int64_t count;
    };
    const std::vector<Case> accepted = {
        {"0", 0},
        {"-0", 0},
        {"-0.0", 0},
        {"9007199254740991", 9007199254740991},
        {"3.0", 3},
        {"4e1", 40},
        {"9.007199254740991e15", 9007199254740991},
    };
    for (const auto& c : accepted) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(NotificationBadge::decode(badgeWithCount(c.text), kReceiver).unreadCount, c.count);
    }
    const std::vector<const char*> refused = {
        "9007199254740992",
        "9007199254740993",
        "9223372036854775807",
        "18446744073709551615",
        "18446744073709551616",
        "123456789012345678901234567890",
        "9007199254740992.0",
        "1e300",
        "-1",
        "-9223372036854775808",
        "-1e-300",
        "2.5",
        "1e-7",
        "\"3\"",
        "true",
        "false",
        "null",
        "[3]",
    };
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        expectResponse([&] { NotificationBadge::decode(badgeWithCount(text), kReceiver); });
    }
}

TEST(NotificationBadge, RefusesCountsNoReaderProducesButAValueMayHold) {
    for (double count :
         {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(count);
        Json record = badgeWithCount("0");
        record["unreadCount"] = count;
        expectResponse([&] { NotificationBadge::decode(record, kReceiver); });
    }
}

TEST(NotificationBadge, RefusesEachBrokenRecord) {
    struct Case {
        const char* name;
        std::function<void(Json&)> apply;
    };
    const std::vector<Case> cases = {
        {"not an object", [](Json& b) { b = Json::array({b}); }},
        {"fourth member", [](Json& b) { b["receiver"] = kReceiver; }},
        {"no unread count", [](Json& b) { b.erase("unreadCount"); }},
        {"other receiver", [](Json& b) { b["receiverId"] = "rcv_0123456789abcdeg"; }},
        {"receiver in other case", [](Json& b) { b["receiverId"] = "RCV_0123456789ABCDEF"; }},
        {"receiver as null", [](Json& b) { b["receiverId"] = nullptr; }},
        {"revision 0", [](Json& b) { b["revision"] = "0"; }},
        {"revision 007", [](Json& b) { b["revision"] = "007"; }},
        {"revision of 41 digits", [](Json& b) { b["revision"] = repeat("1", 41); }},
        {"revision as number", [](Json& b) { b["revision"] = 42; }},
        {"revision with final line feed", [](Json& b) { b["revision"] = "42\n"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json record = badgeWithCount("7");
        c.apply(record);
        expectResponse([&] { NotificationBadge::decode(record, kReceiver); });
    }
}

TEST(NotificationBadge, AcceptsRevisionOfFortyDigits) {
    Json record = badgeWithCount("1");
    record["revision"] = repeat("9", 40);
    EXPECT_EQ(NotificationBadge::decode(record, kReceiver).revision, repeat("9", 40));
}

TEST(RevisionOrder, LongerIsNewerAndEqualLengthsCompareDigitByDigit) {
    struct Case {
        std::string candidate;
        std::string than;
        bool newer;
    };
    const std::vector<Case> cases = {
        {"10", "9", true},
        {"9", "10", false},
        {"12", "12", false},
        {"13", "12", true},
        {"12", "13", false},
        {tenToThe(39), repeat("9", 39), true},
        {repeat("9", 39), tenToThe(39), false},
        {repeat("9", 40), repeat("9", 39) + "8", true},
        {"0", "0", false},
        {"1", "0", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.candidate + " than " + c.than);
        EXPECT_EQ(NotificationDeliveryWorker::newer(c.candidate, c.than), c.newer);
    }
}

TEST(RevisionOrder, AcceptsOnlyCanonicalAuthorizationRevisionsThatDoNotGoBack) {
    struct Case {
        std::string candidate;
        std::string after;
        bool accepted;
    };
    const std::string twenty = repeat("9", 20);
    const std::vector<Case> cases = {
        {"5", "5", true},
        {"6", "5", true},
        {"4", "5", false},
        {"0", "0", true},
        {"5", "0", true},
        {"0", "5", false},
        {"10", "9", true},
        {"05", "4", false},
        {"5", "04", false},
        {twenty, "1", true},
        {twenty, twenty, true},
        {tenToThe(20), "1", false},
        {"1", tenToThe(20), false},
        // Not digits at all.
        {"7", "abc", false},
        {"abc", "abc", false},
        {"", "", false},
        {"5\n", "4", false},
        {"-5", "4", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.candidate + " after " + c.after);
        EXPECT_EQ(NotificationDeliveryWorker::acceptsAuthorizationRevision(c.candidate, c.after), c.accepted);
    }
}

}  // namespace
}  // namespace TamselNotificationService
