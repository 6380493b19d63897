#include "Services/NotificationCommunicationIntent.h"

#include "Services/NotificationDeliveryFailure.h"
#include "Services/NotificationDeliveryRecords.h"

namespace TamselNotificationService::NotificationCommunicationIntent {

using namespace tamsel::platform;

namespace {
constexpr const char* kProductName = "Tamsel";
}

SendMessageIntent make(const NotificationContent& content, const std::string& senderIdentifier,
                       const std::optional<std::string>& senderDisplayName,
                       const std::string& conversationIdentifier) {
    if (!NotificationDeliveryRecords::senderIdentifier(senderIdentifier) || conversationIdentifier.empty())
        throw NotificationDeliveryFailure::response();

    Person sender;
    sender.personHandle = PersonHandle{senderIdentifier, PersonHandleType::unknown};
    sender.displayName =
        NotificationDeliveryRecords::safeSenderName(senderDisplayName).value_or(kProductName);
    sender.customIdentifier = senderIdentifier;

    SendMessageIntent intent;
    intent.outgoingMessageType = OutgoingMessageType::text;
    // The message is the body; the title is the sender's or the conversation's.
    intent.content = content.body;
    intent.conversationIdentifier = conversationIdentifier;
    intent.serviceName = kProductName;
    intent.sender = std::move(sender);
    return intent;
}

NotificationContent incoming(const NotificationContent& content, const std::string& senderIdentifier,
                             const std::optional<std::string>& senderDisplayName,
                             const std::string& conversationIdentifier,
                             const std::string& interactionIdentifier,
                             const std::string& interactionGroupIdentifier, InteractionStore& store) {
    Interaction interaction;
    interaction.intent = make(content, senderIdentifier, senderDisplayName, conversationIdentifier);
    interaction.direction = InteractionDirection::incoming;
    interaction.identifier = interactionIdentifier;
    interaction.groupIdentifier = interactionGroupIdentifier;
    store.donate(interaction);
    return store.contentUpdatedFromIntent(content, interaction.intent);
}

}  // namespace TamselNotificationService::NotificationCommunicationIntent
