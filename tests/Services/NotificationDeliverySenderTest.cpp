#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "RecordTesting.h"
#include "Services/NotificationDeliveryWorker.h"
#include "platform/Json.h"

namespace TamselNotificationService {
namespace {

using tamsel::platform::Json;

Json goodSender() { return senderRecord("Ada Lovelace"); }

Json recordWithSender(const Json& sender) {
    return changeRecord(
        {.revision = "3", .title = "New message", .body = "", .audible = false, .sender = sender});
}

TEST(NotificationDeliverySender, ReadsKnownGoodRecordAndNoSenderWhenAbsentOrNull) {
    Json sender = goodSender(), null;
    EXPECT_EQ(NotificationDeliveryWorker::sender(&sender),
              (NotificationDeliverySender{kCanonicalID, std::string("Ada Lovelace")}));
    EXPECT_EQ(NotificationDeliveryWorker::sender(nullptr), std::nullopt);
    EXPECT_EQ(NotificationDeliveryWorker::sender(&null), std::nullopt);
}

TEST(NotificationDeliverySender, RefusesEachBrokenRecordAndWithItTheChange) {
    struct Case {
        const char* name;
        std::function<void(Json&)> apply;
    };
    const std::vector<Case> cases = {
        {"not an object", [](Json& s) { s = "Ada"; }},
        {"array", [](Json& s) { s = Json::array({s}); }},
        {"fourth member", [](Json& s) { s["avatar"] = nullptr; }},
        {"no display name", [](Json& s) { s.erase("displayName"); }},
        {"schema in other case", [](Json& s) { s["schema"] = "Notification_Sender.v1"; }},
        {"schema as null", [](Json& s) { s["schema"] = nullptr; }},
        {"upper-case canonical hex",
         [](Json& s) { s["canonicalId"] = "tamsel_sender_" + repeat("ABCDEF0123456789", 4); }},
        {"canonical of 63 digits",
         [](Json& s) { s["canonicalId"] = kCanonicalID.substr(0, kCanonicalID.size() - 1); }},
        {"canonical without prefix", [](Json& s) { s["canonicalId"] = kCanonicalID.substr(7); }},
        {"canonical with final line feed", [](Json& s) { s["canonicalId"] = kCanonicalID + "\n"; }},
        {"display name as number", [](Json& s) { s["displayName"] = 42; }},
        {"display name as boolean", [](Json& s) { s["displayName"] = false; }},
        {"display name of 91", [](Json& s) { s["displayName"] = repeat("n", 91); }},
        // An unsafe name alone does not reject the record; one too long does.
        {"unsafe display name of 91", [](Json& s) { s["displayName"] = repeat("@", 91); }},
        {"display name of 46 flags", [](Json& s) { s["displayName"] = repeat("\U0001F1EB\U0001F1F7", 46); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json sender = goodSender();
        c.apply(sender);
        expectResponse([&] { NotificationDeliveryWorker::sender(&sender); });
        expectResponse([&] { NotificationDeliveryWorker::change(recordWithSender(sender)); });
    }
}

TEST(NotificationDeliverySender, UnsafeNameLeavesSenderWithoutDisplayName) {
    const std::vector<std::optional<std::string>> names = {std::nullopt, "ada@example.org", "   ",
                                                           "Ada\u202eecalevol", repeat("\u00e9", 89) + "\t"};
    for (const auto& name : names) {
        SCOPED_TRACE(::testing::PrintToString(name));
        Json sender = goodSender();
        sender["displayName"] = name ? Json(*name) : Json(nullptr);
        auto change = NotificationDeliveryWorker::change(recordWithSender(sender));
        ASSERT_TRUE(change.sender.has_value());
        EXPECT_EQ(change.sender->canonicalID, kCanonicalID);
        EXPECT_EQ(change.sender->displayName, std::nullopt);
    }
}

TEST(NotificationDeliverySender, KeepsNameOfNinetyScalarsExactly) {
    // 90 scalars, 45 user-perceived characters, 180 bytes.
    const std::string name = repeat("o\u0308", 45);
    Json sender = goodSender();
    sender["displayName"] = name;
    auto change = NotificationDeliveryWorker::change(recordWithSender(sender));
    ASSERT_TRUE(change.sender.has_value());
    EXPECT_EQ(change.sender->displayName, name);
}

TEST(SafeSenderName, RefusesNamesThatCouldPassForAnotherIdentity) {
    const std::vector<std::string> refused = {
        "ada@example.org",
        "@",
        "Visit HTTPS://example.org",
        "hTtP:",
        "TEL:0",
        "Sms:me",
        "write to mailto:x",
        "Agent 12345",
        "Call 555 123 4567",
        "555-1234",
        "+1 (555) 010",
        "(555) 010.99",
        "()",
        " 1 2 ",
        // Unicode digits and white space count as digits and space.
        "Ahmad \u0660\u0661\u0662\u0663\u0664",
        "\u0661\u0662\u00a0\u0663\u0664\u0665",
        "Room 12\u00a0345",
        "Room 1\u2007\u20072\u20073",
        // Control and direction characters.
        "Ada\u202eevoL",
        "Ada\u202a",
        "Ada\u2066x\u2069",
        "Ada\tLovelace",
        "Ada\nLovelace",
        "Ada\u0085",
        "Ada\x7f",
        "Ada\u009f",
        std::string("Ada\0Lovelace", 12),
        // Blank, by Unicode White_Space.
        "",
        "     ",
        "\u00a0\u2003\u3000",
        "\u2028",
        // Too long, even when safe.
        repeat("a", 91),
        repeat("\u00e9", 91),
        // Not text at all.
        "Ada\xff",
        "Ada\xc3",
        "\xed\xa0\x80",
    };
    for (const auto& name : refused) {
        SCOPED_TRACE(::testing::PrintToString(name));
        EXPECT_EQ(NotificationDeliveryWorker::safeSenderName(name), std::nullopt);
    }
    EXPECT_EQ(NotificationDeliveryWorker::safeSenderName(std::nullopt), std::nullopt);
}

TEST(SafeSenderName, KeepsOrdinaryNamesExactlyAsGiven) {
    const std::vector<std::string> kept = {
        "Ada Lovelace",
        "Agent 47",
        "Team 1 2",
        "1 2 Ada",
        "  Ada  ",
        "\u00a0Ada\u00a0",
        "Jos\u0065\u0301",
        "\u0645\u062d\u0645\u062f",
        "Ada \U0001F1FA\U0001F1F3",
        "R2-D2",
        "Mail me",
        "http without colon",
        repeat("a", 90),
        repeat("\u00e9", 90),
    };
    for (const auto& name : kept) {
        SCOPED_TRACE(::testing::PrintToString(name));
        EXPECT_EQ(NotificationDeliveryWorker::safeSenderName(name), name);
    }
}

}  // namespace
}  // namespace TamselNotificationService
