// Identifiers, titles, the badge copy and the belongs-to-change predicate.
#include <gtest/gtest.h>

#include "Services/NotificationDeliveryContent.h"
#include "tests/Services/PresenterFixture.h"

namespace presentation_test {
namespace {

namespace Content = NotificationDeliveryContent;

TEST(DeliveryContent, ChangesOfOneGroupShareRequestAndThreadButNotLedgerKeyOrInteraction) {
    auto a = change("notification_aaaaaaaaaa", "1", 'c');
    auto b = change("notification_bbbbbbbbbb", "1", 'c');
    EXPECT_EQ(Content::requestIdentifier(kReceiver, a), "tamsel:v2:" + kReceiver + ":" + groupKey('c'));
    EXPECT_EQ(Content::requestIdentifier(kReceiver, a), Content::requestIdentifier(kReceiver, b));
    EXPECT_EQ(Content::threadIdentifier(kReceiver, a), kReceiver + ":" + groupKey('c'));
    EXPECT_EQ(Content::threadIdentifier(kReceiver, a), Content::threadIdentifier(kReceiver, b));
    EXPECT_EQ(Content::ledgerKey(kReceiver, a), kReceiver + ":notification_aaaaaaaaaa");
    EXPECT_NE(Content::ledgerKey(kReceiver, a), Content::ledgerKey(kReceiver, b));
    EXPECT_EQ(Content::interactionIdentifier(kReceiver, a),
              "tamsel.notification-delivery." + kReceiver + ":notification_aaaaaaaaaa");
    EXPECT_NE(Content::interactionIdentifier(kReceiver, a), Content::interactionIdentifier(kReceiver, b));
    EXPECT_EQ(Content::interactionGroupIdentifier(kReceiver), "tamsel.notification-delivery." + kReceiver);
}

TEST(DeliveryContent, SafeNotificationTitleHidesOnlyBareSenderHandles) {
    struct Row {
        std::string title;
        bool hidden;
    };
    const Row rows[] = {
        {"sender_" + std::string(16, 'x'), true},
        {"sender_" + std::string(15, 'x'), false},
        {"tamsel_sender_" + std::string(16, 'x'), true},
        {"sender_Ab1_-Ab1_-Ab1_-Ab1_-", true},
        {"Sender_" + std::string(16, 'x'), false},
        {"tamsel_Sender_" + std::string(16, 'x'), false},
        {" sender_" + std::string(16, 'x'), false},
        {"sender_" + std::string(16, 'x') + " ", false},
        {"sender_" + std::string(16, 'x') + "\n", false},
        {"sender_" + std::string(16, 'x') + ".", false},
        {"xtamsel_sender_" + std::string(16, 'x'), false},
        {"sender_" + std::string(15, 'x') + "\xc3\xa9", false},
        {"Lunch on Friday?", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.title);
        EXPECT_EQ(NotificationDeliveryPresenter::safeNotificationTitle(row.title),
                  row.hidden ? "Tamsel" : row.title);
    }
}

TEST(DeliveryContent, TitleIsTheSafeSenderNameElseTheSafeChangeTitle) {
    struct Row {
        const char* name;
        std::optional<std::optional<std::string>> sender;  // outer: has a sender; inner: display name
        std::string title;
        std::string expected;
    };
    const std::string handle = "sender_" + std::string(20, 'q');
    const Row rows[] = {
        {"sender with a safe name", std::optional<std::string>("Ada Example"), "Change title", "Ada Example"},
        {"sender without a name", std::optional<std::string>(), "Change title", "Change title"},
        {"sender with an address for a name", std::optional<std::string>("ada@example.com"), "Change title",
         "Change title"},
        {"sender with a phone number for a name", std::optional<std::string>("+1 555 0100 200"),
         "Change title", "Change title"},
        {"sender without a name, handle title", std::optional<std::string>(), handle, "Tamsel"},
        {"no sender", std::nullopt, "Change title", "Change title"},
        {"no sender, handle title", std::nullopt, handle, "Tamsel"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto fields = changeFields("n1", "1");
        fields.title = row.title;
        auto c = validated(fields);
        if (row.sender) c = fromSender(c, *row.sender);
        EXPECT_EQ(Content::title(c), row.expected);
    }
}

TEST(DeliveryContent, BadgeIsCopiedOnlyFromAnIntegerCountOfTheSameReceiver) {
    struct Row {
        const char* name;
        NotificationRevisionLedger::Entry entry;
        std::optional<std::int64_t> expected;
    };
    const Row rows[] = {
        {"plain", {{"receiver", kReceiver}, {"count", "12"}}, 12},
        {"plus sign", {{"receiver", kReceiver}, {"count", "+7"}}, 7},
        {"minus sign", {{"receiver", kReceiver}, {"count", "-3"}}, -3},
        {"zero", {{"receiver", kReceiver}, {"count", "0"}}, 0},
        {"largest", {{"receiver", kReceiver}, {"count", "9223372036854775807"}}, INT64_MAX},
        {"smallest", {{"receiver", kReceiver}, {"count", "-9223372036854775808"}}, INT64_MIN},
        {"beyond 64 bits", {{"receiver", kReceiver}, {"count", "9223372036854775808"}}, std::nullopt},
        {"letters", {{"receiver", kReceiver}, {"count", "abc"}}, std::nullopt},
        {"digits then letters", {{"receiver", kReceiver}, {"count", "12a"}}, std::nullopt},
        {"sign only", {{"receiver", kReceiver}, {"count", "+"}}, std::nullopt},
        {"two signs", {{"receiver", kReceiver}, {"count", "+-1"}}, std::nullopt},
        {"space", {{"receiver", kReceiver}, {"count", " 1"}}, std::nullopt},
        {"empty", {{"receiver", kReceiver}, {"count", ""}}, std::nullopt},
        {"Arabic-Indic digit", {{"receiver", kReceiver}, {"count", "\xd9\xa3"}}, std::nullopt},
        {"another receiver", {{"receiver", "receiver_fedcba9876543210"}, {"count", "5"}}, std::nullopt},
        {"no receiver", {{"count", "5"}}, std::nullopt},
        {"no count", {{"receiver", kReceiver}}, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Content::badgeCount(&row.entry, kReceiver), row.expected);
    }
    EXPECT_EQ(Content::badgeCount(nullptr, kReceiver), std::nullopt);
}

TEST(DeliveryContent, BelongsToChangeByReceiverNotificationAndRevision) {
    auto c = change("n1", "50");
    auto info = [](Json receiver, Json id, std::optional<Json> revision) {
        if (id.is_string()) id = notificationID(id);
        Json object = {{"tamselReceiverId", receiver}, {"tamselNotificationId", id}};
        if (revision) object["tamselNotificationRevision"] = *revision;
        return std::optional<Json>(object);
    };
    struct Row {
        const char* name;
        std::optional<Json> userInfo;
        bool belongs;
    };
    const Row rows[] = {
        {"same revision", info(kReceiver, "n1", Json("50")), true},
        {"older revision", info(kReceiver, "n1", Json("49")), true},
        {"older by length", info(kReceiver, "n1", Json("9")), true},
        {"newer revision", info(kReceiver, "n1", Json("51")), false},
        {"newer by length", info(kReceiver, "n1", Json("100")), false},
        {"no revision counts as 0", info(kReceiver, "n1", std::nullopt), true},
        {"revision that is a number counts as 0", info(kReceiver, "n1", Json(999)), true},
        {"receiver that is a number", info(42, "n1", Json("1")), false},
        {"another receiver", info("receiver_fedcba9876543210", "n1", Json("1")), false},
        {"another notification", info(kReceiver, "n2", Json("1")), false},
        {"notification that is a number", info(kReceiver, 1, Json("1")), false},
        {"no receiver", Json{{"tamselNotificationId", notificationID("n1")}}, false},
        {"no user info", std::nullopt, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Content::belongsToChange(row.userInfo, kReceiver, c), row.belongs);
    }
}

}  // namespace
}  // namespace presentation_test
