#pragma once
// Turns the content of a change that names a sender into a communication
// notification: builds the send-message intent, donates it as an incoming
// interaction and has the platform update the content from it.
//
// Stateless. incoming() runs on the caller's thread and blocks only while the
// store donates; what to do when it fails is the caller's decision.
#include <optional>
#include <string>

#include "platform/Intents.h"
#include "platform/NotificationContent.h"

namespace TamselNotificationService::NotificationCommunicationIntent {

// The intent for an incoming message. Throws NotificationDeliveryFailure::response()
// when the sender identifier is not "tamsel_sender_" and 64 lower-case hex digits
// or the conversation identifier is empty; nothing is built then. A display name
// that is missing or unsafe to show makes the sender "Tamsel".
tamsel::platform::SendMessageIntent make(const tamsel::platform::NotificationContent& content,
                                         const std::string& senderIdentifier,
                                         const std::optional<std::string>& senderDisplayName,
                                         const std::string& conversationIdentifier);

// make(), then donates the interaction (incoming, with the two identifiers) and
// returns a new content updated from the intent; `content` is not changed.
// Errors of make(), the donation and the update pass through unchanged.
tamsel::platform::NotificationContent incoming(const tamsel::platform::NotificationContent& content,
                                               const std::string& senderIdentifier,
                                               const std::optional<std::string>& senderDisplayName,
                                               const std::string& conversationIdentifier,
                                               const std::string& interactionIdentifier,
                                               const std::string& interactionGroupIdentifier,
                                               tamsel::platform::InteractionStore& store);

}  // namespace TamselNotificationService::NotificationCommunicationIntent
