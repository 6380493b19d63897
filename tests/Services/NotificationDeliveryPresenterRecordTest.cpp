// A post and its ledger record: the record is made durable before the post and
// only put in place after it, so that nothing slow lies between the two.
#include <gtest/gtest.h>

#include "PresenterFixture.h"

namespace presentation_test {
namespace {

// Forwards to the in-memory centre and, whenever it is asked to post, looks at
// the ledger's directory as another process would see it at that moment.
class WatchingCenter final : public NotificationCenter {
  public:
    struct Look {
        Json ledger;
        std::vector<Json> staged;  // hidden files beside the ledger
    };

    WatchingCenter(std::shared_ptr<MemoryNotificationCenter> inner, std::filesystem::path ledgerFile)
        : inner_(std::move(inner)), ledgerFile_(std::move(ledgerFile)) {}

    std::vector<DeliveredNotification> deliveredNotifications() override {
        return inner_->deliveredNotifications();
    }
    std::vector<NotificationRequest> pendingNotificationRequests() override {
        return inner_->pendingNotificationRequests();
    }
    void removeDeliveredNotifications(const std::vector<std::string>& identifiers) override {
        inner_->removeDeliveredNotifications(identifiers);
    }
    void removePendingNotificationRequests(const std::vector<std::string>& identifiers) override {
        inner_->removePendingNotificationRequests(identifiers);
    }
    void add(const NotificationRequest& request) override {
        looks.push_back(look(ledgerFile_));
        inner_->add(request);
    }
    void setBadgeCount(std::int64_t count) override { inner_->setBadgeCount(count); }

    static Look look(const std::filesystem::path& ledgerFile) {
        Look seen;
        seen.ledger = std::filesystem::exists(ledgerFile) ? Json::parse(tamsel::testing::readText(ledgerFile))
                                                          : Json::object();
        for (const auto& file : std::filesystem::directory_iterator(ledgerFile.parent_path()))
            if (file.path().filename().string().rfind("." + ledgerFile.filename().string(), 0) == 0)
                seen.staged.push_back(Json::parse(tamsel::testing::readText(file.path())));
        return seen;
    }

    std::vector<Look> looks;

  private:
    std::shared_ptr<MemoryNotificationCenter> inner_;
    std::filesystem::path ledgerFile_;
};

struct RecordFixture : PresenterFixture {
    std::shared_ptr<WatchingCenter> watching = std::make_shared<WatchingCenter>(center, ledgerFile());

    // The real files without the fault-injecting wrapper, whose staging is the default one.
    NotificationDeliveryPresenter realPresenter() const {
        Platform p = platform();
        p.files = std::make_shared<PosixFileSystem>(scratch.path());
        p.center = watching;
        return NotificationDeliveryPresenter(nullptr, p);
    }
};

TEST(NotificationDeliveryPresenterRecord, EachPostFindsItsRecordStagedAndTheLedgerNotYetChanged) {
    RecordFixture f;
    f.realPresenter().apply(
        kReceiver, {change("note_0000000000000001", "1", 'a'), change("note_0000000000000002", "3", 'b')});

    const std::string first = kReceiver + ":note_0000000000000001",
                      second = kReceiver + ":note_0000000000000002";
    ASSERT_EQ(f.watching->looks.size(), 2u);
    const auto& atFirst = f.watching->looks[0];
    EXPECT_FALSE(atFirst.ledger.contains(first));
    ASSERT_EQ(atFirst.staged.size(), 1u);
    EXPECT_EQ(atFirst.staged[0], (Json{{first, ledgerEntry("1", "available", "none")}}));

    const auto& atSecond = f.watching->looks[1];
    EXPECT_EQ(atSecond.ledger, (Json{{first, ledgerEntry("1", "available", "none")}}));
    ASSERT_EQ(atSecond.staged.size(), 1u);
    EXPECT_EQ(atSecond.staged[0], (Json{{first, ledgerEntry("1", "available", "none")},
                                        {second, ledgerEntry("3", "available", "none")}}));

    const auto after = WatchingCenter::look(f.ledgerFile());
    EXPECT_EQ(after.ledger, atSecond.staged[0]);
    EXPECT_TRUE(after.staged.empty());
    EXPECT_EQ(tamsel::testing::permissionsOf(f.ledgerFile()), 0600u);
}

TEST(NotificationDeliveryPresenterRecord, APostThatFailsLeavesNeitherItsRecordNorItsStagedFile) {
    RecordFixture f;
    f.writeLedger(Json{{"other", Json::object()}});
    f.center->failNextAdd(NotificationCenterError(NotificationCenterError::kNotificationsNotAllowed));
    EXPECT_THROW(f.realPresenter().apply(kReceiver, {change("note_0000000000000001", "1")}),
                 NotificationCenterError);

    const auto after = WatchingCenter::look(f.ledgerFile());
    EXPECT_EQ(after.ledger, (Json{{"other", Json::object()}}));
    EXPECT_TRUE(after.staged.empty());
    EXPECT_TRUE(f.lockIsFree());
}

}  // namespace
}  // namespace presentation_test
