// applyBadge(badge): the badge only moves to newer revisions of its receiver.
#include <gtest/gtest.h>

#include "tests/Services/PresenterFixture.h"

namespace presentation_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

Json badgeEntry(const std::string& receiver, const std::string& revision, const std::string& count) {
    return {{"receiver", receiver}, {"revision", revision}, {"count", count}};
}

TEST(PresenterBadge, AppliesOnlyWhatIsNewerForTheSameReceiver) {
    const std::string other = "receiver_fedcba9876543210";
    struct Row {
        const char* name;
        Json stored;  // null: no "$badge" entry
        NotificationBadge badge;
        bool applied;
    };
    const Row rows[] = {
        {"no entry", nullptr, {kReceiver, "1", 4}, true},
        {"same receiver, same revision", badgeEntry(kReceiver, "10", "4"), {kReceiver, "10", 9}, false},
        {"same receiver, older revision", badgeEntry(kReceiver, "10", "4"), {kReceiver, "9", 9}, false},
        {"same receiver, newer revision", badgeEntry(kReceiver, "10", "4"), {kReceiver, "11", 9}, true},
        {"same receiver, newer by length", badgeEntry(kReceiver, "99", "4"), {kReceiver, "100", 9}, true},
        {"another receiver, older revision", badgeEntry(other, "10", "4"), {kReceiver, "2", 9}, true},
        {"entry without receiver", Json{{"revision", "10"}, {"count", "4"}}, {kReceiver, "2", 9}, true},
        {"entry without revision", Json{{"receiver", kReceiver}, {"count", "4"}}, {kReceiver, "2", 9}, true},
        {"count of zero", badgeEntry(kReceiver, "1", "4"), {kReceiver, "2", 0}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PresenterFixture f;
        Json seeded = {{ledgerKey("n1"), ledgerEntry("3", "available", "donated")},
                       {"future", Json::object()}};
        if (!row.stored.is_null()) seeded["$badge"] = row.stored;
        f.writeLedger(seeded);
        const std::string before = tamsel::testing::readText(f.ledgerFile());

        f.presenter().applyBadge(row.badge);

        if (row.applied) {
            EXPECT_THAT(f.center->badgeCounts(), ElementsAre(row.badge.unreadCount));
            Json expected = seeded;
            expected["$badge"] =
                badgeEntry(row.badge.receiverID, row.badge.revision, std::to_string(row.badge.unreadCount));
            EXPECT_EQ(f.ledger(), expected);
        } else {
            EXPECT_THAT(f.center->badgeCounts(), IsEmpty());
            EXPECT_EQ(tamsel::testing::readText(f.ledgerFile()), before);
            EXPECT_EQ(f.files->calls(FileOperation::writeFileAtomically), 0);
        }
        EXPECT_TRUE(f.lockIsFree());
    }
}

TEST(PresenterBadge, WithoutLedgerFileSetsTheBadgeAndCreatesTheFileWithOnlyTheBadge) {
    PresenterFixture f;
    f.presenter().applyBadge({kReceiver, "12", 3});
    EXPECT_EQ(f.center->badge(), 3);
    EXPECT_EQ(tamsel::testing::readText(f.ledgerFile()),
              R"({"$badge":{"count":"3","receiver":")" + kReceiver + R"(","revision":"12"}})");
    // The badge write sets no permissions of its own.
    EXPECT_EQ(f.files->calls(FileOperation::setPermissions), 0);
}

TEST(PresenterBadge, RefusedBadgeLeavesTheLedgerAsItWas) {
    PresenterFixture f;
    f.writeLedger({{"$badge", badgeEntry(kReceiver, "1", "1")}});
    const std::string before = tamsel::testing::readText(f.ledgerFile());
    f.center->failNextSetBadgeCount(NotificationCenterError(NotificationCenterError::kBadgeRefused));
    EXPECT_EQ(thrownCode<NotificationCenterError>([&] {
                  f.presenter().applyBadge({kReceiver, "2", 5});
              }),
              NotificationCenterError::kBadgeRefused);
    EXPECT_EQ(tamsel::testing::readText(f.ledgerFile()), before);
    EXPECT_TRUE(f.lockIsFree());
}

TEST(PresenterBadge, FailedWriteLeavesTheBadgeSetSoTheSameRevisionIsAppliedAgain) {
    PresenterFixture f;
    f.files->failNext(FileOperation::writeFileAtomically, FileSystemError(ENOSPC, "write"));
    EXPECT_THROW(f.presenter().applyBadge({kReceiver, "2", 5}), FileSystemError);
    EXPECT_EQ(f.center->badge(), 5);
    EXPECT_TRUE(f.lockIsFree());
    f.presenter().applyBadge({kReceiver, "2", 5});
    EXPECT_THAT(f.center->badgeCounts(), ElementsAre(5, 5));
    EXPECT_EQ(f.ledger()["$badge"], badgeEntry(kReceiver, "2", "5"));
}

TEST(PresenterBadge, NewNotificationsCarryTheCountOfTheirReceiver) {
    PresenterFixture f;
    f.presenter().applyBadge({kReceiver, "2", 6});
    f.presenter().apply(kReceiver, {change("n1", "1")});
    f.presenter().apply("receiver_fedcba9876543210", {change("n1", "1", 'b')});
    auto added = f.center->added();
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(added[0].content->badge, 6);
    EXPECT_FALSE(added[1].content->badge);
    // After a badge write, the next recorded change makes the file private again.
    EXPECT_EQ(tamsel::testing::permissionsOf(f.ledgerFile()), 0600u);
}

}  // namespace
}  // namespace presentation_test
