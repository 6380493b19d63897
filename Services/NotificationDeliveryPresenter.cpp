#include "Services/NotificationDeliveryPresenter.h"

#include <stdexcept>

#include "Services/ErrorReport.h"
#include "Services/NotificationCommunicationIntent.h"
#include "Services/NotificationDeliveryContent.h"
#include "Services/NotificationDeliveryFailure.h"
#include "Services/NotificationRevisionLedger.h"
#include "platform/FileSystem.h"
#include "platform/Intents.h"
#include "platform/NotificationCenter.h"
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
    const std::optional<Entry> badgeEntry = ledger.find(NotificationRevisionLedger::kBadgeKey);
    for (const auto& change : changes) {
        tamsel::platform::checkCancellation();
        applyChange(ledger, receiver, change, badgeEntry ? &*badgeEntry : nullptr);
    }
}

void NotificationDeliveryPresenter::applyChange(NotificationRevisionLedger& ledger,
                                                const std::string& receiver,
                                                const NotificationDeliveryChange& change,
                                                const Entry* badgeEntry) {
    const std::string key = Content::ledgerKey(receiver, change);
    const std::optional<Entry> previous = ledger.find(key);
    const bool donatedBefore = is(previous ? &*previous : nullptr, "intent", kDonated);
    const bool ownNotification = remote_ && remote_->groupKey == change.groupKey;

    const Decision decision = decide(previous ? &*previous : nullptr, change, ownNotification);
    if (decision == Decision::skip) return;
    if (change.withdrawn) {
        withdraw(ledger, receiver, change, donatedBefore);
        return;
    }

    NotificationContent content =
        Content::build(receiver, change, badgeEntry, decision == Decision::repeatedHandOff);
    const std::string intent = donateIntent(content, receiver, change, donatedBefore);

    tamsel::platform::checkCancellation();
    SharedContent shown = std::make_shared<const NotificationContent>(std::move(content));
    const Entry presented = entryFor(change, kAvailable, intent);
    if (ownNotification)
        handOffOrPost(ledger, receiver, change, previous, shown, presented);
    else
        post(ledger, receiver, change, shown, presented);
}

void NotificationDeliveryPresenter::withdraw(NotificationRevisionLedger& ledger, const std::string& receiver,
                                             const NotificationDeliveryChange& change, bool donatedBefore) {
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
    if (donatedBefore) interactions_->deleteInteractions({Content::interactionIdentifier(receiver, change)});
    ledger.record(Content::ledgerKey(receiver, change), entryFor(change, kWithdrawn, kNone), true);
}

std::string NotificationDeliveryPresenter::donateIntent(NotificationContent& content,
                                                        const std::string& receiver,
                                                        const NotificationDeliveryChange& change,
                                                        bool donatedBefore) {
    const std::string interaction = Content::interactionIdentifier(receiver, change);
    if (!change.sender) {
        if (donatedBefore) interactions_->deleteInteractions({interaction});
        return kNone;
    }
    try {
        content = NotificationCommunicationIntent::incoming(
            content, change.sender->canonicalID, change.sender->displayName, *content.threadIdentifier,
            interaction, Content::interactionGroupIdentifier(receiver), *interactions_);
        logger_.notice("communication_intent_applied");
        return kDonated;
    } catch (...) {
        // The notification is still shown, only without the sender's identity.
        logger_.error("communication_intent_failed code=" +
                      std::to_string(platformErrorCode(std::current_exception())));
    }
    try {
        interactions_->deleteInteractions({interaction});
        return kNone;
    } catch (...) {
        // It may still be stored: keep it marked so a later change deletes it.
        logger_.error("communication_intent_cleanup_failed");
        return kDonated;
    }
}

void NotificationDeliveryPresenter::handOffOrPost(NotificationRevisionLedger& ledger,
                                                  const std::string& receiver,
                                                  const NotificationDeliveryChange& change,
                                                  const std::optional<Entry>& previous,
                                                  const SharedContent& shown, const Entry& presented) {
    const std::string key = Content::ledgerKey(receiver, change);
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
    // Recorded once, before the hand-off: once the handler has run, this
    // process may be ended at any moment, so nothing may be left to write
    // after it. If recording fails part-way (written, but its permissions not
    // set), nothing has been shown yet.
    try {
        ledger.record(key, presented, true);
    } catch (...) {
        undoAndRethrow(std::current_exception());
    }
    if (remote_->complete(shown)) return;
    // Something was handed off already (an earlier change of this page, or
    // the fallback on time expiry): post it like any other notification so
    // that it is not lost, and undo the record when that fails too.
    try {
        center_->add(Content::request(receiver, change, shown));
    } catch (...) {
        undoAndRethrow(std::current_exception());
    }
}

void NotificationDeliveryPresenter::post(NotificationRevisionLedger& ledger, const std::string& receiver,
                                         const NotificationDeliveryChange& change, const SharedContent& shown,
                                         const Entry& presented) {
    // The one write of this record, in two halves that bracket the post: it is
    // written and made durable beside the ledger before the post, and renamed
    // into place right after it. A process that dies between the two has
    // posted a change it did not record, which the next run presents again
    // (and nothing else), so nothing slow may stand between them.
    auto record = ledger.prepare(Content::ledgerKey(receiver, change), presented, true);
    center_->add(Content::request(receiver, change, shown));
    record.commit();
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
