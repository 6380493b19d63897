#include "Services/NotificationDeliveryPresenter.h"

#include <stdexcept>
#include <system_error>

#include "Services/NotificationCommunicationIntent.h"
#include "Services/NotificationDeliveryContent.h"
#include "Services/NotificationDeliveryFailure.h"
#include "Services/NotificationRevisionLedger.h"
#include "platform/FileSystem.h"
#include "platform/Intents.h"
#include "platform/NotificationCenter.h"
#include "platform/PlatformError.h"
#include "platform/Task.h"

namespace TamselNotificationService {

using tamsel::platform::NotificationContent;
using tamsel::platform::SharedContent;
using Entry = NotificationRevisionLedger::Entry;
namespace Content = NotificationDeliveryContent;

namespace {

constexpr const char* kAvailable = "available";
constexpr const char* kWithdrawn = "withdrawn";
constexpr const char* kDonated = "donated";
constexpr const char* kNone = "none";

enum class Decision { skip, apply, repeatedHandOff };

// A member with one of the values the ledger writes; anything else reads as absent.
const std::string* member(const Entry* entry, const char* name) {
    if (!entry) return nullptr;
    auto it = entry->find(name);
    return it == entry->end() ? nullptr : &it->second;
}

const std::string* revisionOf(const Entry* entry) {
    const std::string* revision = member(entry, "revision");
    if (!revision || revision->empty()) return nullptr;
    for (char c : *revision)
        if (c < '0' || c > '9') return nullptr;
    return revision;
}

bool is(const Entry* entry, const char* name, const char* value) {
    const std::string* text = member(entry, name);
    return text && *text == value;
}

Decision decide(const Entry* entry, const NotificationDeliveryChange& change, bool ownNotification) {
    const std::string* revision = revisionOf(entry);
    if (!revision) return Decision::apply;
    if (NotificationDeliveryRecords::newer(*revision, change.revision)) return Decision::skip;
    if (NotificationDeliveryRecords::newer(change.revision, *revision)) return Decision::apply;
    if (is(entry, "state", kWithdrawn)) return Decision::skip;
    if (change.withdrawn) return Decision::apply;
    // The push being served is this notification: hand it off once more (without
    // sound), since the process that recorded it may not have lived to do so.
    if (ownNotification) return Decision::repeatedHandOff;
    return Decision::skip;
}

Entry entryFor(const NotificationDeliveryChange& change, const char* state, const std::string& intent) {
    return {{"revision", change.revision}, {"state", state}, {"intent", intent}};
}

}  // namespace

long platformErrorCode(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const NotificationDeliveryFailure& failure) {
        return failure.code();
    } catch (const tamsel::platform::PlatformError& platformError) {
        return platformError.code();
    } catch (const std::system_error& systemError) {
        return systemError.code().value();
    } catch (...) {
        return -1;
    }
}

NotificationDeliveryPresenter::NotificationDeliveryPresenter(
    std::shared_ptr<NotificationRemotePresentation> remote, const tamsel::platform::Platform& platform)
    : remote_(std::move(remote)),
      bundle_(platform.bundle),
      files_(platform.files),
      center_(platform.center),
      interactions_(platform.interactions),
      logger_(std::string(tamsel::platform::kSubsystem), "notification-intent") {
    if (!bundle_ || !files_ || !center_ || !interactions_)
        throw std::invalid_argument(
            "the presenter needs the bundle, files, notification centre and interactions");
}

std::filesystem::path NotificationDeliveryPresenter::ledgerURL() const {
    return NotificationRevisionLedger::location(*bundle_, *files_);
}

std::string NotificationDeliveryPresenter::safeNotificationTitle(const std::string& title) {
    return Content::safeNotificationTitle(title);
}

void NotificationDeliveryPresenter::apply(const std::string& receiver,
                                          const std::vector<NotificationDeliveryChange>& changes) {
    NotificationRevisionLedger ledger(*files_, ledgerURL());
    // New contents carry the badge as it stood when the call began.
    std::optional<Entry> badgeEntry = ledger.find(NotificationRevisionLedger::kBadgeKey);

    for (const auto& change : changes) {
        tamsel::platform::checkCancellation();
        const std::string key = Content::ledgerKey(receiver, change);
        const std::string interaction = Content::interactionIdentifier(receiver, change);
        std::optional<Entry> previous = ledger.find(key);
        const Entry* before = previous ? &*previous : nullptr;
        const bool donatedBefore = is(before, "intent", kDonated);
        const bool ownNotification = remote_ && remote_->groupKey == change.groupKey;

        Decision decision = decide(before, change, ownNotification);
        if (decision == Decision::skip) continue;

        if (change.withdrawn) {
            std::vector<std::string> identifiers;
            for (const auto& delivered : center_->deliveredNotifications()) {
                const auto& content = delivered.request.content;
                if (content && Content::belongsToChange(content->userInfo, receiver, change))
                    identifiers.push_back(delivered.request.identifier);
            }
            for (const auto& pending : center_->pendingNotificationRequests()) {
                if (pending.content && Content::belongsToChange(pending.content->userInfo, receiver, change))
                    identifiers.push_back(pending.identifier);
            }
            center_->removeDeliveredNotifications(identifiers);
            center_->removePendingNotificationRequests(identifiers);
            if (donatedBefore) interactions_->deleteInteractions({interaction});
            ledger.record(key, entryFor(change, kWithdrawn, kNone), true);
            continue;
        }

        NotificationContent content = Content::build(receiver, change, badgeEntry ? &*badgeEntry : nullptr,
                                                     decision == Decision::repeatedHandOff);
        std::string intent = kNone;
        if (change.sender) {
            try {
                content = NotificationCommunicationIntent::incoming(
                    content, change.sender->canonicalID, change.sender->displayName,
                    *content.threadIdentifier, interaction, Content::interactionGroupIdentifier(receiver),
                    *interactions_);
                logger_.notice("communication_intent_applied");
                intent = kDonated;
            } catch (...) {
                // The notification is still shown, only without the sender's identity.
                logger_.error("communication_intent_failed code=" +
                              std::to_string(platformErrorCode(std::current_exception())));
                try {
                    interactions_->deleteInteractions({interaction});
                } catch (...) {
                    // It may still be stored: keep it marked so a later change deletes it.
                    logger_.error("communication_intent_cleanup_failed");
                    intent = kDonated;
                }
            }
        } else if (donatedBefore) {
            interactions_->deleteInteractions({interaction});
        }

        tamsel::platform::checkCancellation();
        SharedContent shown = std::make_shared<const NotificationContent>(std::move(content));
        const Entry presented = entryFor(change, kAvailable, intent);

        if (ownNotification) {
            // Puts the entry back as it was before this change, when what it would
            // claim did not happen. The error that ends the call is the one given.
            auto undoAndRethrow = [&](std::exception_ptr error) {
                try {
                    if (previous)
                        ledger.record(key, *previous, true);
                    else
                        ledger.erase(key, true);
                } catch (...) {
                    // Nothing more can be done about the ledger here.
                }
                std::rethrow_exception(error);
            };
            // Recorded before the hand-off: once the handler has run, this process
            // may be ended at any moment. If recording fails part-way (written, but
            // its permissions not set), nothing has been shown yet.
            try {
                ledger.record(key, presented, true);
            } catch (...) {
                undoAndRethrow(std::current_exception());
            }
            if (remote_->complete(shown)) {
                ledger.record(key, presented, true);
                continue;
            }
            // Something was handed off already (an earlier change of this page, or
            // the fallback on time expiry): post it like any other notification so
            // that it is not lost, and undo the record when that fails too.
            try {
                center_->add(Content::request(receiver, change, shown));
            } catch (...) {
                undoAndRethrow(std::current_exception());
            }
            ledger.record(key, presented, true);
            continue;
        }

        // The record is written and made durable before the post and put in
        // place right after it: a process that dies between the two has posted a
        // change it did not record, which the next run presents again, so
        // nothing slow may stand between them.
        auto record = ledger.prepare(key, presented, true);
        center_->add(Content::request(receiver, change, shown));
        record.commit();
    }
}

void NotificationDeliveryPresenter::applyBadge(const NotificationBadge& badge) {
    NotificationRevisionLedger ledger(*files_, ledgerURL());
    const std::optional<Entry> stored = ledger.find(NotificationRevisionLedger::kBadgeKey);
    const Entry* entry = stored ? &*stored : nullptr;
    const std::string* receiver = member(entry, "receiver");
    const std::string* revision = revisionOf(entry);
    if (receiver && *receiver == badge.receiverID && revision &&
        !NotificationDeliveryRecords::newer(badge.revision, *revision))
        return;
    center_->setBadgeCount(badge.unreadCount);
    ledger.record(NotificationRevisionLedger::kBadgeKey,
                  {{"receiver", badge.receiverID},
                   {"revision", badge.revision},
                   {"count", std::to_string(badge.unreadCount)}},
                  false);
}

}  // namespace TamselNotificationService
