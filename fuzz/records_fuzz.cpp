// Arbitrary bytes through the JSON reader into the record validators. Besides
// crashes and sanitizer reports it traps on a validated record that breaks the
// limits the presenter relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Services/NotificationDeliveryWorker.h"
#include "platform/Json.h"

namespace {

using tamsel::platform::Json;
using TamselNotificationService::NotificationBadge;
using TamselNotificationService::NotificationDeliveryChange;
using TamselNotificationService::NotificationDeliveryFailure;
using TamselNotificationService::NotificationDeliveryWorker;
using TamselNotificationService::scalarCount;

void require(bool condition) {
    if (!condition) std::abort();
}

void checkChange(const NotificationDeliveryChange& change) {
    require(NotificationDeliveryWorker::identifier(change.notificationID));
    require(!change.revision.empty() && change.revision.size() <= 40 && change.revision[0] != '0');
    if (change.withdrawn) {
        require(change.title.empty() && change.body.empty() && change.groupKey.empty() && !change.audible &&
                change.target.empty() && !change.sender);
        return;
    }
    require(!change.title.empty() && scalarCount(change.title) <= 120 && scalarCount(change.body) <= 320);
    require(change.groupKey.size() == 64 && change.target.contains("kind") && change.target.size() == 3);
    if (change.sender && change.sender->displayName)
        require(NotificationDeliveryWorker::safeSenderName(change.sender->displayName) ==
                change.sender->displayName);
}

void validate(const Json& value) {
    try {
        checkChange(NotificationDeliveryWorker::change(value));
    } catch (const NotificationDeliveryFailure&) {
    }
    std::string receiver = "rcv_0123456789abcdef";
    if (value.is_object()) {
        auto named = value.find("receiverId");
        if (named != value.end() && named->is_string()) receiver = named->get<std::string>();
    }
    try {
        NotificationBadge badge = NotificationBadge::decode(value, receiver);
        require(badge.receiverID == receiver && badge.unreadCount >= 0 &&
                badge.unreadCount <= 9007199254740991);
    } catch (const NotificationDeliveryFailure&) {
    }
}

void validateText(const std::string& text, const std::string& previous) {
    auto name = NotificationDeliveryWorker::safeSenderName(text);
    require(!name || *name == text);
    NotificationDeliveryWorker::date(text);
    NotificationDeliveryWorker::proof(text);
    // The order of two accepted revisions is strict: never both ways.
    if (NotificationDeliveryWorker::acceptsAuthorizationRevision(text, previous) &&
        NotificationDeliveryWorker::acceptsAuthorizationRevision(previous, text))
        require(text == previous);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Json document;
    try {
        document = tamsel::platform::parseJson(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const nlohmann::json::exception&) {
        return 0;
    }
    // Every value in the document, walked without recursion: the whole document
    // and each nested value is offered as a record, each string (member names
    // too) as a name, a date and a revision.
    std::vector<const Json*> pending{&document};
    std::string previous = "0";
    while (!pending.empty()) {
        const Json* value = pending.back();
        pending.pop_back();
        if (value->is_string()) {
            const auto& text = value->get_ref<const std::string&>();
            validateText(text, previous);
            previous = text;
            continue;
        }
        if (value->is_object()) {
            validate(*value);
            for (auto it = value->begin(); it != value->end(); ++it) {
                validateText(it.key(), previous);
                pending.push_back(&*it);
            }
        } else if (value->is_array()) {
            validate(*value);
            for (const Json& child : *value) pending.push_back(&child);
        }
    }
    return 0;
}
