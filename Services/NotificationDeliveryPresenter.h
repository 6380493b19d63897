#pragma once
// Presents validated delivery changes and the badge on the notification centre,
// idempotently across processes through the revision ledger.
//
// The presenter keeps no mutable state: each call of apply() or applyBadge()
// opens the ledger, which takes the ledger's exclusive, non-blocking file lock
// for the whole call, so two calls (in this process or another) never
// interleave; the second fails at once with NotificationDeliveryFailure::response().
// The lock is released and its descriptor closed on every exit, before an error
// leaves. Calls run on the caller's thread (the worker's run) and block on the
// platform; apply() checks that thread's task for cancellation before each
// change and before posting or handing off.
//
// Errors of the platform (files, centre, interactions, JSON) and cancellation
// pass through unchanged; the presenter's own refusals are
// NotificationDeliveryFailure. A failing intent is logged and presented without.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Services/NotificationDeliveryRecords.h"
#include "Services/NotificationRemotePresentation.h"
#include "Services/NotificationRevisionLedger.h"
#include "platform/Log.h"
#include "platform/Platform.h"

namespace TamselNotificationService {

class NotificationDeliveryPresenter {
  public:
    // `remote` is the push's hand-off (may be null: nothing is the push's own
    // notification then). Needs the platform's bundle, files, centre and
    // interactions; a missing one throws std::invalid_argument.
    NotificationDeliveryPresenter(std::shared_ptr<NotificationRemotePresentation> remote,
                                  const tamsel::platform::Platform& platform);

    // Applies one page of changes in order, recording each in the ledger before
    // the next one starts.
    void apply(const std::string& receiver, const std::vector<NotificationDeliveryChange>& changes);
    // Sets the badge when it is newer than the last one applied for its receiver.
    void applyBadge(const NotificationBadge& badge);
    // The ledger file (its directory created).
    std::filesystem::path ledgerURL() const;

    static std::string safeNotificationTitle(const std::string& title);

  private:
    using Entry = NotificationRevisionLedger::Entry;

    // One change: skipped when the ledger already covers it, else withdrawn,
    // or built, given its sender's intent and handed off or posted.
    void applyChange(NotificationRevisionLedger& ledger, const std::string& receiver,
                     const NotificationDeliveryChange& change, const Entry* badgeEntry);
    // Removes what is shown or pending of the change and any donation, then records it.
    void withdraw(NotificationRevisionLedger& ledger, const std::string& receiver,
                  const NotificationDeliveryChange& change, bool donatedBefore);
    // Makes `content` a communication notification when the change names a
    // sender (or deletes an earlier donation when it names none); returns the
    // ledger's "intent" value. A failing donation is logged, never thrown.
    std::string donateIntent(tamsel::platform::NotificationContent& content, const std::string& receiver,
                             const NotificationDeliveryChange& change, bool donatedBefore);
    // The push's own conversation: hands the content off, or posts it when the
    // hand-off was taken; the entry is put back when neither happens.
    void handOffOrPost(NotificationRevisionLedger& ledger, const std::string& receiver,
                       const NotificationDeliveryChange& change, const std::optional<Entry>& previous,
                       const tamsel::platform::SharedContent& shown, const Entry& presented);
    // Any other conversation: posts the content inside its record's bracket.
    void post(NotificationRevisionLedger& ledger, const std::string& receiver,
              const NotificationDeliveryChange& change, const tamsel::platform::SharedContent& shown,
              const Entry& presented);

    std::shared_ptr<NotificationRemotePresentation> remote_;
    std::shared_ptr<const tamsel::platform::Bundle> bundle_;
    std::shared_ptr<tamsel::platform::FileSystem> files_;
    std::shared_ptr<tamsel::platform::NotificationCenter> center_;
    std::shared_ptr<tamsel::platform::InteractionStore> interactions_;
    tamsel::platform::Logger logger_;
};

}  // namespace TamselNotificationService
