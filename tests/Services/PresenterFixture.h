#pragma once
// Real files in a scratch directory (behind a FaultyFileSystem), the in-memory
// notification centre and interaction store, and builders for changes.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Services/NotificationDeliveryPresenter.h"
#include "Services/NotificationRemotePresentation.h"
#include "Services/NotificationRevisionLedger.h"
#include "platform/Bundle.h"
#include "platform/Json.h"
#include "platform/Platform.h"
#include "platform/file/PosixFileSystem.h"
#include "platform/testing/FaultyFileSystem.h"
#include "platform/testing/MemoryInteractionStore.h"
#include "platform/testing/MemoryNotificationCenter.h"
#include "tests/support/ScratchDirectory.h"

namespace presentation_test {

using namespace TamselNotificationService;
using namespace tamsel::platform;
using namespace tamsel::platform::testing;
using tamsel::testing::ScratchDirectory;

inline const std::string kReceiver = "receiver_0123456789abcdef";
inline const std::string kGroup = "group.com.brindaxel.tamsel";

inline std::string groupKey(char c) { return std::string(64, c); }
inline std::string senderID(char c = 'a') { return "tamsel_sender_" + std::string(64, c); }

inline NotificationDeliveryChange change(const std::string& id, const std::string& revision,
                                         char group = 'a') {
    NotificationDeliveryChange c;
    c.notificationID = id;
    c.revision = revision;
    c.title = "Title of " + id;
    c.body = "Body of " + id;
    c.groupKey = groupKey(group);
    c.audible = true;
    c.target = {{"kind", "conversation"}, {"id", id}};
    return c;
}

inline NotificationDeliveryChange withdrawal(const std::string& id, const std::string& revision,
                                             char group = 'a') {
    auto c = change(id, revision, group);
    c.withdrawn = true;
    return c;
}

inline NotificationDeliveryChange fromSender(NotificationDeliveryChange c,
                                             std::optional<std::string> displayName = "Ada Example",
                                             const std::string& id = senderID()) {
    c.sender = NotificationDeliverySender{id, std::move(displayName)};
    return c;
}

// A content as the presenter would have posted it for (id, revision).
inline NotificationRequest shownRequest(const std::string& id, const std::string& revision, char group = 'a',
                                        const std::string& receiver = kReceiver) {
    NotificationContent content;
    content.title = "shown";
    content.userInfo = Json{{"tamselReceiverId", receiver},
                            {"tamselNotificationId", id},
                            {"tamselNotificationRevision", revision},
                            {"tamselGroupKey", groupKey(group)},
                            {"tamselTarget", Json::object()}};
    return {"tamsel:v2:" + receiver + ":" + groupKey(group),
            std::make_shared<const NotificationContent>(content)};
}

// What reached the push's content handler.
struct Handoffs {
    std::mutex mutex;
    std::vector<SharedContent> contents;

    std::vector<SharedContent> all() {
        std::lock_guard lock(mutex);
        return contents;
    }
};

class PresenterFixture {
  public:
    PresenterFixture()
        : bundle(std::make_shared<MemoryBundle>()),
          files(std::make_shared<FaultyFileSystem>(std::make_shared<PosixFileSystem>(scratch.path()))),
          center(std::make_shared<MemoryNotificationCenter>()),
          store(std::make_shared<MemoryInteractionStore>()) {
        bundle->set("TAMSEL_NOTIFICATION_APP_GROUP", PropertyValue{kGroup});
        bundle->setIdentifier("com.brindaxel.tamsel.notification-service");
        std::filesystem::create_directories(scratch.path() / "containers" / kGroup);
    }

    Platform platform() const {
        Platform p;
        p.bundle = bundle;
        p.files = files;
        p.center = center;
        p.interactions = store;
        return p;
    }

    std::filesystem::path ledgerDirectory() const {
        return scratch.path() / "containers" / kGroup / "NotificationDelivery";
    }
    std::filesystem::path ledgerFile() const {
        return ledgerDirectory() / NotificationRevisionLedger::kFileName;
    }
    std::filesystem::path lockFile() const { return NotificationRevisionLedger::lockFile(ledgerFile()); }

    std::shared_ptr<NotificationRemotePresentation> remote(char group = 'r') {
        NotificationContent content;
        content.title = "fallback";
        auto fallback = std::make_shared<const NotificationContent>(content);
        auto sink = handoffs;
        return std::make_shared<NotificationRemotePresentation>(
            groupKey(group), fallback, [sink](SharedContent content) {
                std::lock_guard lock(sink->mutex);
                sink->contents.push_back(std::move(content));
            });
    }

    NotificationDeliveryPresenter presenter(
        std::shared_ptr<NotificationRemotePresentation> remote = nullptr) const {
        return NotificationDeliveryPresenter(std::move(remote), platform());
    }

    void writeLedger(const Json& document) const {
        std::filesystem::create_directories(ledgerDirectory());
        tamsel::testing::writeText(ledgerFile(), document.dump());
    }
    void writeLedgerText(const std::string& text) const {
        std::filesystem::create_directories(ledgerDirectory());
        tamsel::testing::writeText(ledgerFile(), text);
    }
    Json ledger() const {
        if (!std::filesystem::exists(ledgerFile())) return Json::object();
        return Json::parse(tamsel::testing::readText(ledgerFile()));
    }
    Json entry(const std::string& id) const {
        Json document = ledger();
        auto it = document.find(kReceiver + ":" + id);
        return it == document.end() ? Json() : *it;
    }

    // True when a fresh descriptor can take the ledger lock at once: the
    // presenter released it.
    bool lockIsFree() const {
        int fd = ::open(lockFile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return free;
    }

    int platformCalls() const {
        int n = 0;
        for (auto op : {CenterOperation::deliveredNotifications, CenterOperation::pendingNotificationRequests,
                        CenterOperation::removeDeliveredNotifications,
                        CenterOperation::removePendingNotificationRequests, CenterOperation::add,
                        CenterOperation::setBadgeCount})
            n += center->calls(op);
        for (auto op : {InteractionOperation::donate, InteractionOperation::deleteInteractions,
                        InteractionOperation::contentUpdatedFromIntent})
            n += store->calls(op);
        return n;
    }

    ScratchDirectory scratch;
    std::shared_ptr<MemoryBundle> bundle;
    std::shared_ptr<FaultyFileSystem> files;
    std::shared_ptr<MemoryNotificationCenter> center;
    std::shared_ptr<MemoryInteractionStore> store;
    std::shared_ptr<Handoffs> handoffs = std::make_shared<Handoffs>();
};

inline Interaction interactionWithIdentifier(const std::string& identifier) {
    Interaction interaction;
    interaction.identifier = identifier;
    return interaction;
}

inline Json ledgerEntry(const std::string& revision, const std::string& state, const std::string& intent) {
    return {{"revision", revision}, {"state", state}, {"intent", intent}};
}

}  // namespace presentation_test
