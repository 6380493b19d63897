// The send-message intent and its donation.
#include <gtest/gtest.h>

#include "Services/NotificationCommunicationIntent.h"
#include "Services/NotificationDeliveryFailure.h"
#include "tests/Services/PresenterFixture.h"

namespace presentation_test {
namespace {

namespace Intent = NotificationCommunicationIntent;

NotificationContent bodyAndTitle() {
    NotificationContent content;
    content.title = "The title";
    content.body = "The body";
    return content;
}

TEST(CommunicationIntent, MakeFillsEveryFieldOfAnIncomingTextMessage) {
    auto intent = Intent::make(bodyAndTitle(), senderID('b'), "Ada Example", "conversation-1");
    Person sender;
    sender.personHandle = {senderID('b'), PersonHandleType::unknown};
    sender.displayName = "Ada Example";
    sender.customIdentifier = senderID('b');
    SendMessageIntent expected;
    expected.outgoingMessageType = OutgoingMessageType::text;
    expected.content = "The body";  // the message is the body, never the title
    expected.conversationIdentifier = "conversation-1";
    expected.serviceName = "Tamsel";
    expected.sender = sender;
    EXPECT_EQ(intent, expected);
}

TEST(CommunicationIntent, MakeRefusesMalformedSendersAndEmptyConversations) {
    struct Row {
        const char* name;
        std::string sender;
        std::string conversation;
    };
    const Row rows[] = {
        {"63 digits", "tamsel_sender_" + std::string(63, 'a'), "c"},
        {"65 digits", "tamsel_sender_" + std::string(65, 'a'), "c"},
        {"upper-case hex", "tamsel_sender_" + std::string(63, 'a') + "A", "c"},
        {"not hex", "tamsel_sender_" + std::string(63, 'a') + "g", "c"},
        {"no prefix", std::string(64, 'a'), "c"},
        {"upper-case prefix", "Tamsel_sender_" + std::string(64, 'a'), "c"},
        {"trailing line break", senderID() + "\n", "c"},
        {"empty conversation", senderID(), ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // The response failure, whose code is 2.
        EXPECT_EQ(tamsel::testing::thrownCode<NotificationDeliveryFailure>(
                      [&] { Intent::make(bodyAndTitle(), row.sender, "Ada", row.conversation); }),
                  2);
    }
}

TEST(CommunicationIntent, UnsafeOrMissingDisplayNameShowsTheProductName) {
    struct Row {
        const char* name;
        std::optional<std::string> displayName;
    };
    const Row rows[] = {
        {"missing", std::nullopt},
        {"empty", std::string()},
        {"white space", std::string(" \t")},
        {"an address", std::string("ada@example.com")},
        {"a phone number", std::string("+44 20 7946 0958")},
        {"a link", std::string("https://example.com")},
        {"a control character", std::string("Ada\x07")},
        {"91 scalars", std::string(91, 'a')},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto intent = Intent::make(bodyAndTitle(), senderID(), row.displayName, "c");
        EXPECT_EQ(intent.sender->displayName, "Tamsel");
        EXPECT_EQ(intent.sender->personHandle.value, senderID());
        EXPECT_EQ(intent.sender->customIdentifier, senderID());
    }
    EXPECT_EQ(Intent::make(bodyAndTitle(), senderID(), std::string(90, 'a'), "c").sender->displayName,
              std::string(90, 'a'));
}

TEST(CommunicationIntent, IncomingDonatesAndReturnsANewContent) {
    MemoryInteractionStore store;
    const NotificationContent original = bodyAndTitle();
    NotificationContent given = original;
    auto updated = Intent::incoming(given, senderID('c'), "Ada", "conv", "interaction-1", "group-1", store);

    EXPECT_EQ(contentToJson(given), contentToJson(original));
    EXPECT_EQ(*updated.communication, (Json{{"senderIdentifier", senderID('c')},
                                            {"senderDisplayName", "Ada"},
                                            {"conversationIdentifier", "conv"},
                                            {"serviceName", "Tamsel"}}));
    EXPECT_EQ(updated.body, original.body);
    auto donated = store.donated();
    ASSERT_EQ(donated.size(), 1u);
    EXPECT_EQ(donated[0].intent, Intent::make(original, senderID('c'), "Ada", "conv"));
    EXPECT_FALSE(donated[0].response);
    EXPECT_EQ(donated[0].direction, InteractionDirection::incoming);
    EXPECT_EQ(donated[0].identifier, "interaction-1");
    EXPECT_EQ(donated[0].groupIdentifier, "group-1");
}

}  // namespace
}  // namespace presentation_test
