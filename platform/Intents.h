#pragma once
// Messaging intents: the plain values that describe an incoming message for the
// platform (person handle, person, send-message intent, interaction), the store
// of donated interactions, and the update of a notification content from an
// intent, which turns it into a communication notification.
//
// The store's operations are blocking calls that return or throw; its refusals
// are IntentError. Safe from any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Json.h"
#include "platform/NotificationContent.h"
#include "platform/PlatformError.h"

namespace tamsel::platform {

// The platform's numeric values are kept, as the main application reads them.
enum class PersonHandleType : long { unknown = 0, emailAddress = 1, phoneNumber = 2 };
enum class OutgoingMessageType : long { unknown = 0, text = 1, audio = 2 };
enum class InteractionDirection : long { unspecified = 0, outgoing = 1, incoming = 2 };

struct PersonHandle {
    std::string value;
    PersonHandleType type = PersonHandleType::unknown;
    bool operator==(const PersonHandle&) const = default;
};

struct PersonNameComponents {
    std::optional<std::string> givenName;
    std::optional<std::string> familyName;
    std::optional<std::string> nickname;
    bool operator==(const PersonNameComponents&) const = default;
};

struct Person {
    PersonHandle personHandle;
    std::optional<PersonNameComponents> nameComponents;
    std::optional<std::string> displayName;
    // Image data.
    std::optional<std::vector<std::uint8_t>> image;
    std::optional<std::string> contactIdentifier;
    std::optional<std::string> customIdentifier;
    bool operator==(const Person&) const = default;
};

struct SendMessageIntent {
    std::optional<std::vector<Person>> recipients;
    OutgoingMessageType outgoingMessageType = OutgoingMessageType::unknown;
    std::optional<std::string> content;
    std::optional<std::string> speakableGroupName;
    std::optional<std::string> conversationIdentifier;
    std::optional<std::string> serviceName;
    std::optional<Person> sender;
    // File locations of attached files.
    std::optional<std::vector<std::string>> attachments;
    bool operator==(const SendMessageIntent&) const = default;
};

// The outcome of handling an intent; an incoming message has none.
struct SendMessageIntentResponse {
    long code = 0;
    bool operator==(const SendMessageIntentResponse&) const = default;
};

struct Interaction {
    SendMessageIntent intent;
    std::optional<SendMessageIntentResponse> response;
    InteractionDirection direction = InteractionDirection::unspecified;
    std::optional<std::string> identifier;
    std::optional<std::string> groupIdentifier;
    bool operator==(const Interaction&) const = default;
};

class IntentError : public PlatformError {
  public:
    static constexpr long kDonationFailed = 1901;
    static constexpr long kDeletionFailed = 1902;
    static constexpr long kInvalidIntent = 1903;
    static constexpr long kStoreUnavailable = 1904;
    static constexpr long kStoreCorrupted = 1905;

    explicit IntentError(long code) noexcept : PlatformError(ErrorDomain::intents, code) {}
    const char* what() const noexcept override { return "intent error"; }
};

class InteractionStore {
  public:
    virtual ~InteractionStore() = default;
    // Stores the interaction; one with the same identifier is replaced.
    virtual void donate(const Interaction& interaction) = 0;
    // Identifiers that match nothing are ignored.
    virtual void deleteInteractions(const std::vector<std::string>& identifiers) = 0;
    // A new content: `content` with the intent's sender and conversation attached
    // as "communication"; `content` itself is left as it is.
    virtual NotificationContent contentUpdatedFromIntent(const NotificationContent& content,
                                                         const SendMessageIntent& intent) = 0;
};

// What both stores attach: {"senderIdentifier", "senderDisplayName",
// "conversationIdentifier", "serviceName"}. An intent without a sender or a
// conversation cannot make a communication notification: IntentError
// kInvalidIntent.
NotificationContent communicationContent(const NotificationContent& content, const SendMessageIntent& intent);

// Every field, nothing left out; absent optionals as null.
Json interactionToJson(const Interaction& interaction);
// The inverse; throws IntentError kStoreCorrupted for anything else.
Interaction interactionFromJson(const Json& json);

}  // namespace tamsel::platform
