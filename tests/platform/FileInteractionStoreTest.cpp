// Donated interactions kept in one file.
#include <gtest/gtest.h>

#include "platform/file/FileInteractionStore.h"
#include "tests/support/Expect.h"
#include "tests/support/ScratchDirectory.h"

namespace {

using namespace tamsel::platform;
using tamsel::testing::readText;
using tamsel::testing::ScratchDirectory;
using tamsel::testing::thrownCode;
using tamsel::testing::writeText;

Interaction everyField(const std::string& identifier) {
    Person sender;
    sender.personHandle = {"tamsel_sender_" + std::string(64, 'a'), PersonHandleType::unknown};
    sender.nameComponents = PersonNameComponents{"Ada", "Example", std::nullopt};
    sender.displayName = "Ada Example";
    sender.image = std::vector<std::uint8_t>{0, 1, 255};
    sender.contactIdentifier = "contact-1";
    sender.customIdentifier = sender.personHandle.value;
    Person recipient;
    recipient.personHandle = {"someone@example.com", PersonHandleType::emailAddress};
    Interaction interaction;
    interaction.intent.recipients = std::vector<Person>{recipient};
    interaction.intent.outgoingMessageType = OutgoingMessageType::text;
    interaction.intent.content = "Body";
    interaction.intent.speakableGroupName = "Group";
    interaction.intent.conversationIdentifier = "conversation";
    interaction.intent.serviceName = "Tamsel";
    interaction.intent.sender = sender;
    interaction.intent.attachments = std::vector<std::string>{"file:///a"};
    interaction.response = SendMessageIntentResponse{3};
    interaction.direction = InteractionDirection::incoming;
    interaction.identifier = identifier;
    interaction.groupIdentifier = "group";
    return interaction;
}

TEST(FileInteractionStore, KeepsEveryFieldOfADonation) {
    ScratchDirectory root;
    auto path = root.path() / "interactions.json";
    FileInteractionStore store(path);
    store.donate(everyField("i1"));
    Interaction minimal;
    minimal.identifier = "i2";
    store.donate(minimal);

    auto donated = FileInteractionStore(path).donated();
    ASSERT_EQ(donated.size(), 2u);
    EXPECT_EQ(donated[0], everyField("i1"));
    EXPECT_EQ(donated[1], minimal);
    Json file = Json::parse(readText(path));
    ASSERT_EQ(file.size(), 1u);
    ASSERT_EQ(file["donated"].size(), 2u);
    // Absent values are written as null, so every field is named in the file.
    EXPECT_EQ(file["donated"][1]["intent"]["sender"], nullptr);
    EXPECT_EQ(file["donated"][1]["intent"].size(), 8u);
    EXPECT_EQ(file["donated"][0]["intent"]["sender"].size(), 6u);
}

TEST(FileInteractionStore, SameIdentifierReplacesAndDeletionRemovesOnlyTheNamed) {
    ScratchDirectory root;
    FileInteractionStore store(root.path() / "interactions.json");
    store.donate(everyField("i1"));
    store.donate(everyField("i2"));
    auto replacement = everyField("i1");
    replacement.intent.content = "Newer body";
    store.donate(replacement);
    store.deleteInteractions({"i2", "unknown"});
    auto donated = store.donated();
    ASSERT_EQ(donated.size(), 1u);
    EXPECT_EQ(donated[0].intent.content, "Newer body");
    store.deleteInteractions({});
    EXPECT_EQ(store.donated().size(), 1u);
}

TEST(FileInteractionStore, KeepsOnlyTheMostRecentDonations) {
    ScratchDirectory root;
    FileInteractionStore store(root.path() / "interactions.json", 3);
    for (const char* id : {"i1", "i2", "i3", "i4"}) store.donate(everyField(id));
    // A replacement counts as the newest and does not push out another.
    store.donate(everyField("i3"));
    auto ids = [&] {
        std::vector<std::string> out;
        for (const auto& interaction : store.donated()) out.push_back(interaction.identifier.value_or("-"));
        return out;
    };
    EXPECT_EQ(ids(), (std::vector<std::string>{"i2", "i4", "i3"}));
    store.donate(everyField("i5"));
    EXPECT_EQ(ids(), (std::vector<std::string>{"i4", "i3", "i5"}));
}

TEST(FileInteractionStore, ContentUpdateAttachesTheConversationAndLeavesTheGivenContent) {
    ScratchDirectory root;
    FileInteractionStore store(root.path() / "interactions.json");
    NotificationContent content;
    content.title = "Ada";
    content.body = "Hi";
    const Json before = contentToJson(content);
    auto updated = store.contentUpdatedFromIntent(content, everyField("i").intent);
    EXPECT_EQ(contentToJson(content), before);
    EXPECT_EQ(*updated.communication, (Json{{"senderIdentifier", "tamsel_sender_" + std::string(64, 'a')},
                                            {"senderDisplayName", "Ada Example"},
                                            {"conversationIdentifier", "conversation"},
                                            {"serviceName", "Tamsel"}}));
    // A content read back from its JSON form keeps the attachment.
    EXPECT_EQ(contentToJson(contentFromJson(contentToJson(updated))), contentToJson(updated));

    // An intent without sender cannot make a communication notification.
    EXPECT_EQ(thrownCode<IntentError>([&] { store.contentUpdatedFromIntent(content, SendMessageIntent{}); }),
              IntentError::kInvalidIntent);
}

TEST(FileInteractionStore, CorruptedFileIsNeverOverwritten) {
    for (const char* document : {"{", R"({"donated": {}})", R"({"donated": [{"identifier": "x"}]})", "[]"}) {
        SCOPED_TRACE(document);
        ScratchDirectory root;
        auto path = root.path() / "interactions.json";
        writeText(path, document);
        FileInteractionStore store(path);
        EXPECT_EQ(thrownCode<IntentError>([&] { store.donate(everyField("i")); }),
                  IntentError::kStoreCorrupted);
        EXPECT_EQ(thrownCode<IntentError>([&] { store.deleteInteractions({"i"}); }),
                  IntentError::kStoreCorrupted);
        EXPECT_EQ(thrownCode<IntentError>([&] { store.donated(); }), IntentError::kStoreCorrupted);
        EXPECT_EQ(readText(path), document);
    }
}

std::vector<std::string> identifiersIn(FileInteractionStore& store) {
    std::vector<std::string> out;
    for (const auto& interaction : store.donated()) out.push_back(interaction.identifier.value_or("-"));
    return out;
}

TEST(FileInteractionStore, SeesWhatOthersChangedBetweenItsOwnOperations) {
    // Each store keeps what it last read or wrote; a file changed since, by
    // another store or by hand, is read again, even when its size is the same.
    ScratchDirectory root;
    auto path = root.path() / "interactions.json";
    FileInteractionStore mine(path), other(path);
    mine.donate(everyField("i1"));
    other.donate(everyField("i2"));
    other.deleteInteractions({"i1"});
    mine.donate(everyField("i3"));
    EXPECT_EQ(identifiersIn(mine), (std::vector<std::string>{"i2", "i3"}));

    std::string text = readText(path);
    auto body = text.find("\"Body\"");
    ASSERT_NE(body, std::string::npos);
    text.replace(body, 6, "\"Bodz\"");
    writeText(path, text);
    mine.donate(everyField("i4"));
    auto donated = other.donated();
    ASSERT_EQ(donated.size(), 3u);
    EXPECT_EQ(donated[0].intent.content, "Bodz");
    EXPECT_EQ(identifiersIn(other), (std::vector<std::string>{"i2", "i3", "i4"}));
}

TEST(FileInteractionStore, WritesWhatTheJsonWriterWritesAndKeepsOtherMembers) {
    ScratchDirectory root;
    auto path = root.path() / "interactions.json";
    Json entry = interactionToJson(everyField("old"));
    entry["extra"] = "dropped when the entry is written back";
    writeText(path, Json{{"alpha", {{"b", nullptr}}}, {"donated", {entry}}, {"zeta", {1, 2.5, "x"}}}.dump());
    FileInteractionStore store(path);
    // Identifiers and text that need escaping, and text beyond ASCII.
    auto escaped = everyField("quote\" back\\slash \u00fc \x01 /");
    escaped.intent.content = "line\nbreak \u2028 \U0001F600";
    store.donate(escaped);

    const std::string bytes = readText(path);
    Json file = Json::parse(bytes);
    EXPECT_EQ(bytes, file.dump());
    EXPECT_EQ(file["alpha"], (Json{{"b", nullptr}}));
    EXPECT_EQ(file["zeta"], (Json{1, 2.5, "x"}));
    EXPECT_EQ(file["donated"], (Json{interactionToJson(everyField("old")), interactionToJson(escaped)}));
    auto donated = FileInteractionStore(path).donated();
    ASSERT_EQ(donated.size(), 2u);
    EXPECT_EQ(donated[1], escaped);
}

TEST(FileInteractionStore, FileCutOffByASystemCrashReadsAsEmptyAndIsReplaced) {
    // The file is replaced without a sync: after a power loss it may be empty
    // or zero-filled, and that loses the donations, not the store.
    const std::string whole = Json{{"donated", {interactionToJson(everyField("i1"))}}}.dump();
    const std::string cutOff[] = {"", std::string(4096, '\0'),
                                  whole.substr(0, 100) + std::string(3996, '\0')};
    for (const auto& bytes : cutOff) {
        SCOPED_TRACE(bytes.size());
        ScratchDirectory root;
        auto path = root.path() / "interactions.json";
        writeText(path, bytes);
        FileInteractionStore store(path);
        EXPECT_TRUE(store.donated().empty());
        EXPECT_EQ(readText(path), bytes);
        store.donate(everyField("i2"));
        EXPECT_EQ(Json::parse(readText(path)), (Json{{"donated", {interactionToJson(everyField("i2"))}}}));
    }
}

}  // namespace
