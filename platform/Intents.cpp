#include "platform/Intents.h"

#include <limits>

namespace tamsel::platform {
namespace {

[[noreturn]] void corrupted() { throw IntentError(IntentError::kStoreCorrupted); }

template <class T>
Json optionalToJson(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

const Json& member(const Json& object, const char* key) {
    if (!object.is_object()) corrupted();
    auto it = object.find(key);
    if (it == object.end()) corrupted();
    return *it;
}

std::string stringOf(const Json& value) {
    if (!value.is_string()) corrupted();
    return value.get<std::string>();
}

std::optional<std::string> optionalString(const Json& object, const char* key) {
    const Json& value = member(object, key);
    if (value.is_null()) return std::nullopt;
    return stringOf(value);
}

long numberOf(const Json& value) {
    if (!value.is_number_integer()) corrupted();
    auto number = value.get<std::int64_t>();
    if (number < std::numeric_limits<long>::min() || number > std::numeric_limits<long>::max()) corrupted();
    return static_cast<long>(number);
}

Json personToJson(const Person& person) {
    Json names = nullptr;
    if (person.nameComponents) {
        names = {{"givenName", optionalToJson(person.nameComponents->givenName)},
                 {"familyName", optionalToJson(person.nameComponents->familyName)},
                 {"nickname", optionalToJson(person.nameComponents->nickname)}};
    }
    return {{"personHandle",
             {{"value", person.personHandle.value}, {"type", static_cast<long>(person.personHandle.type)}}},
            {"nameComponents", names},
            {"displayName", optionalToJson(person.displayName)},
            {"image", optionalToJson(person.image)},
            {"contactIdentifier", optionalToJson(person.contactIdentifier)},
            {"customIdentifier", optionalToJson(person.customIdentifier)}};
}

Person personFromJson(const Json& json) {
    Person person;
    const Json& handle = member(json, "personHandle");
    person.personHandle.value = stringOf(member(handle, "value"));
    person.personHandle.type = static_cast<PersonHandleType>(numberOf(member(handle, "type")));
    const Json& names = member(json, "nameComponents");
    if (!names.is_null()) {
        person.nameComponents =
            PersonNameComponents{optionalString(names, "givenName"), optionalString(names, "familyName"),
                                 optionalString(names, "nickname")};
    }
    person.displayName = optionalString(json, "displayName");
    const Json& image = member(json, "image");
    if (!image.is_null()) {
        // Image bytes are kept as an array of byte values in the file.
        if (!image.is_array()) corrupted();
        std::vector<std::uint8_t> bytes;
        for (const auto& byte : image) {
            long value = numberOf(byte);
            if (value < 0 || value > 255) corrupted();
            bytes.push_back(static_cast<std::uint8_t>(value));
        }
        person.image = std::move(bytes);
    }
    person.contactIdentifier = optionalString(json, "contactIdentifier");
    person.customIdentifier = optionalString(json, "customIdentifier");
    return person;
}

}  // namespace

NotificationContent communicationContent(const NotificationContent& content,
                                         const SendMessageIntent& intent) {
    if (!intent.sender || !intent.conversationIdentifier) throw IntentError(IntentError::kInvalidIntent);
    NotificationContent updated = content;
    updated.communication = Json{{"senderIdentifier", intent.sender->personHandle.value},
                                 {"senderDisplayName", optionalToJson(intent.sender->displayName)},
                                 {"conversationIdentifier", *intent.conversationIdentifier},
                                 {"serviceName", optionalToJson(intent.serviceName)}};
    return updated;
}

Json interactionToJson(const Interaction& interaction) {
    const SendMessageIntent& intent = interaction.intent;
    Json recipients = nullptr;
    if (intent.recipients) {
        recipients = Json::array();
        for (const auto& person : *intent.recipients) recipients.push_back(personToJson(person));
    }
    Json intentJson = {{"recipients", recipients},
                       {"outgoingMessageType", static_cast<long>(intent.outgoingMessageType)},
                       {"content", optionalToJson(intent.content)},
                       {"speakableGroupName", optionalToJson(intent.speakableGroupName)},
                       {"conversationIdentifier", optionalToJson(intent.conversationIdentifier)},
                       {"serviceName", optionalToJson(intent.serviceName)},
                       {"sender", intent.sender ? personToJson(*intent.sender) : Json(nullptr)},
                       {"attachments", optionalToJson(intent.attachments)}};
    return {{"intent", intentJson},
            {"response", interaction.response ? Json{{"code", interaction.response->code}} : Json(nullptr)},
            {"direction", static_cast<long>(interaction.direction)},
            {"identifier", optionalToJson(interaction.identifier)},
            {"groupIdentifier", optionalToJson(interaction.groupIdentifier)}};
}

Interaction interactionFromJson(const Json& json) {
    Interaction interaction;
    const Json& intent = member(json, "intent");
    const Json& recipients = member(intent, "recipients");
    if (!recipients.is_null()) {
        if (!recipients.is_array()) corrupted();
        std::vector<Person> people;
        for (const auto& person : recipients) people.push_back(personFromJson(person));
        interaction.intent.recipients = std::move(people);
    }
    interaction.intent.outgoingMessageType =
        static_cast<OutgoingMessageType>(numberOf(member(intent, "outgoingMessageType")));
    interaction.intent.content = optionalString(intent, "content");
    interaction.intent.speakableGroupName = optionalString(intent, "speakableGroupName");
    interaction.intent.conversationIdentifier = optionalString(intent, "conversationIdentifier");
    interaction.intent.serviceName = optionalString(intent, "serviceName");
    if (const Json& sender = member(intent, "sender"); !sender.is_null())
        interaction.intent.sender = personFromJson(sender);
    const Json& attachments = member(intent, "attachments");
    if (!attachments.is_null()) {
        if (!attachments.is_array()) corrupted();
        std::vector<std::string> files;
        for (const auto& file : attachments) files.push_back(stringOf(file));
        interaction.intent.attachments = std::move(files);
    }
    if (const Json& response = member(json, "response"); !response.is_null())
        interaction.response = SendMessageIntentResponse{numberOf(member(response, "code"))};
    interaction.direction = static_cast<InteractionDirection>(numberOf(member(json, "direction")));
    interaction.identifier = optionalString(json, "identifier");
    interaction.groupIdentifier = optionalString(json, "groupIdentifier");
    return interaction;
}

}  // namespace tamsel::platform
