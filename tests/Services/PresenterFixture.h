#pragma once
// Real files in a scratch directory (behind a FaultyFileSystem), the in-memory
// notification centre and interaction store, and builders for changes.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Services/NotificationDeliveryPresenter.h"
#include "Services/NotificationDeliveryRecords.h"
#include "Services/NotificationDeliveryWorker.h"
#include "Services/NotificationRemotePresentation.h"
#include "Services/NotificationRevisionLedger.h"
#include "platform/Bundle.h"
#include "platform/Json.h"
#include "platform/Platform.h"
#include "platform/file/PosixFileSystem.h"
#include "platform/testing/FaultyFileSystem.h"
#include "platform/testing/MemoryInteractionStore.h"
#include "platform/testing/MemoryNotificationCenter.h"
#include "tests/Services/RecordTesting.h"
#include "tests/support/Expect.h"
#include "tests/support/ScratchDirectory.h"

namespace presentation_test {

using namespace TamselNotificationService;
using namespace tamsel::platform;
using namespace tamsel::platform::testing;
using tamsel::testing::ScratchDirectory;
using tamsel::testing::thrown;
using tamsel::testing::thrownCode;
using tamsel::testing::thrownErrno;

inline const std::string kReceiver = "receiver_0123456789abcdef";
inline const std::string kGroup = "group.com.brindaxel.tamsel";

// A valid group key named by one character: 64 of it when it is a hexadecimal
// digit, else 62 zeros and the character's code, so every name gives its own key.
inline std::string groupKey(char c) {
    if (std::isxdigit(static_cast<unsigned char>(c)) && !std::isupper(static_cast<unsigned char>(c)))
        return std::string(64, c);
    static constexpr char kHex[] = "0123456789abcdef";
    const auto code = static_cast<unsigned char>(c);
    return std::string(62, '0') + kHex[code >> 4] + kHex[code & 15];
}
inline std::string senderID(char c = 'a') { return "tamsel_sender_" + std::string(64, c); }

// The tests name notifications "n1", "n-own"…; the records carry a valid
// identifier made from that name. Injective (the name is kept whole before
// the separator) and a valid identifier is kept as it is, so a test may pass
// either form anywhere an identifier is expected.
inline std::string notificationID(const std::string& name) {
    if (NotificationDeliveryRecords::identifier(name)) return name;
    std::string id = "ntf_" + name + "_";
    if (id.size() < 20) id.append(20 - id.size(), '0');
    return id;
}
// The ledger's key of the notification named `name`.
inline std::string ledgerKey(const std::string& name, const std::string& receiver = kReceiver) {
    return receiver + ":" + notificationID(name);
}

// The record's fields of an available change; adjust them and pass them to validated().
inline ChangeFields changeFields(const std::string& name, const std::string& revision, char group = 'a') {
    ChangeFields fields;
    fields.notificationId = notificationID(name);
    fields.revision = revision;
    fields.title = "Title of " + name;
    fields.body = "Body of " + name;
    fields.groupKey = groupKey(group);
    fields.audible = true;
    return fields;
}

// Every change the presenter sees in these tests went through the worker's validator.
inline NotificationDeliveryChange validated(const Json& record) {
    return NotificationDeliveryWorker::change(record);
}
inline NotificationDeliveryChange validated(const ChangeFields& fields) {
    return validated(changeRecord(fields));
}

inline NotificationDeliveryChange change(const std::string& name, const std::string& revision,
                                         char group = 'a') {
    return validated(changeFields(name, revision, group));
}

inline NotificationDeliveryChange withdrawal(const std::string& name, const std::string& revision) {
    return validated(withdrawnRecord(notificationID(name), revision));
}

// The change with the presentation's sender, validated as the record's "sender" member.
inline NotificationDeliveryChange fromSender(NotificationDeliveryChange c,
                                             std::optional<std::string> displayName = "Ada Example",
                                             const std::string& id = senderID()) {
    Json record = senderRecord(displayName ? Json(*displayName) : Json(nullptr), id);
    c.sender = NotificationDeliveryRecords::sender(&record);
    return c;
}

// A content as the presenter would have posted it for (id, revision).
inline NotificationRequest shownRequest(const std::string& name, const std::string& revision,
                                        char group = 'a', const std::string& receiver = kReceiver) {
    NotificationContent content;
    content.title = "shown";
    content.userInfo = Json{{"tamselReceiverId", receiver},
                            {"tamselNotificationId", notificationID(name)},
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
    Json entry(const std::string& name) const {
        Json document = ledger();
        auto it = document.find(ledgerKey(name));
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
