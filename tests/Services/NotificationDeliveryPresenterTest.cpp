// apply(receiver, changes): the decision table, withdrawals, intents, the push's
// own notification (including a refused hand-off), cancellation and persistence.
#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "Services/NotificationDeliveryFailure.h"
#include "platform/Task.h"
#include "platform/testing/RecordingLogSink.h"
#include "tests/Services/PresenterFixture.h"

namespace presentation_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string revisionOf(const SharedContent& content) {
    return content->userInfo->at("tamselNotificationRevision").get<std::string>();
}
std::string idOf(const SharedContent& content) {
    return content->userInfo->at("tamselNotificationId").get<std::string>();
}

TEST(PresenterApply, DecisionTableFollowsTheLedgerEntry) {
    enum class Outcome { skip, post, withdraw, repeatedHandOff };
    struct Row {
        const char* name;
        Json entry;  // null: no entry
        NotificationDeliveryChange change;
        bool remoteForGroup;
        Outcome outcome;
    };
    const Row rows[] = {
        {"no entry", nullptr, change("n1", "5"), false, Outcome::post},
        {"empty entry", Json::object(), change("n1", "5"), false, Outcome::post},
        {"entry without revision", Json{{"state", "available"}, {"intent", "none"}}, change("n1", "5"), false,
         Outcome::post},
        {"revision that is not digits counts as absent", ledgerEntry("x5", "available", "none"),
         change("n1", "5"), false, Outcome::post},
        {"stored revision newer", ledgerEntry("10", "available", "none"), change("n1", "9"), false,
         Outcome::skip},
        {"stored newer, change withdrawn", ledgerEntry("10", "available", "none"), withdrawal("n1", "9"),
         false, Outcome::skip},
        {"stored revision older by length", ledgerEntry("9", "available", "none"), change("n1", "10"), false,
         Outcome::post},
        {"stored older, change withdrawn", ledgerEntry("4", "available", "none"), withdrawal("n1", "5"),
         false, Outcome::withdraw},
        {"equal and withdrawn", ledgerEntry("5", "withdrawn", "none"), change("n1", "5"), false,
         Outcome::skip},
        {"equal and withdrawn, withdrawn again", ledgerEntry("5", "withdrawn", "none"), withdrawal("n1", "5"),
         false, Outcome::skip},
        {"equal and available, change withdrawn", ledgerEntry("5", "available", "none"),
         withdrawal("n1", "5"), false, Outcome::withdraw},
        {"equal, unknown state, change withdrawn", ledgerEntry("5", "hidden", "none"), withdrawal("n1", "5"),
         false, Outcome::withdraw},
        {"equal and available, the push's own group", ledgerEntry("5", "available", "none"),
         change("n1", "5", 'r'), true, Outcome::repeatedHandOff},
        {"equal and available, another group", ledgerEntry("5", "available", "none"), change("n1", "5"), true,
         Outcome::skip},
        {"equal and available, no remote", ledgerEntry("5", "available", "none"), change("n1", "5", 'r'),
         false, Outcome::skip},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PresenterFixture f;
        Json seeded = {{"$badge", {{"receiver", kReceiver}, {"revision", "1"}, {"count", "2"}}}};
        if (!row.entry.is_null()) seeded[ledgerKey("n1")] = row.entry;
        f.writeLedger(seeded);
        const std::string before = tamsel::testing::readText(f.ledgerFile());

        f.presenter(row.remoteForGroup ? f.remote() : nullptr).apply(kReceiver, {row.change});

        switch (row.outcome) {
            case Outcome::skip:
                EXPECT_EQ(f.platformCalls(), 0);
                EXPECT_EQ(f.files->calls(FileOperation::writeFileAtomically), 0);
                EXPECT_EQ(tamsel::testing::readText(f.ledgerFile()), before);
                EXPECT_THAT(f.handoffs->all(), IsEmpty());
                break;
            case Outcome::post: {
                auto added = f.center->added();
                ASSERT_EQ(added.size(), 1u);
                EXPECT_EQ(revisionOf(added[0].content), row.change.revision);
                EXPECT_EQ(added[0].content->sound, NotificationSound::defaultSound);
                EXPECT_EQ(f.entry("n1"), ledgerEntry(row.change.revision, "available", "none"));
                break;
            }
            case Outcome::withdraw:
                EXPECT_EQ(f.center->removedDelivered().size(), 1u);
                EXPECT_EQ(f.center->removedPending().size(), 1u);
                EXPECT_THAT(f.center->added(), IsEmpty());
                EXPECT_EQ(f.entry("n1"), ledgerEntry(row.change.revision, "withdrawn", "none"));
                break;
            case Outcome::repeatedHandOff: {
                auto handed = f.handoffs->all();
                ASSERT_EQ(handed.size(), 1u);
                // Shown once already: the repeat must not ring again.
                EXPECT_EQ(handed[0]->sound, NotificationSound::none);
                EXPECT_THAT(f.center->added(), IsEmpty());
                EXPECT_EQ(f.entry("n1"), ledgerEntry("5", "available", "none"));
                EXPECT_GE(f.files->calls(FileOperation::writeFileAtomically), 1);
                break;
            }
        }
        EXPECT_TRUE(f.lockIsFree());
    }
}

TEST(PresenterApply, PostsContentWithIdentifiersUserInfoAndTheBadgeReadAtTheStart) {
    PresenterFixture f;
    f.writeLedger({{"$badge", {{"receiver", kReceiver}, {"revision", "3"}, {"count", "+7"}}}});
    auto fields = changeFields("n1", "12", 'b');
    fields.title = "sender_ABCDEFGHIJKLMNOP";  // only an internal handle: never shown
    fields.audible = false;
    f.presenter().apply(kReceiver, {validated(fields)});

    auto added = f.center->added();
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].identifier, "tamsel:v2:" + kReceiver + ":" + groupKey('b'));
    const auto& content = *added[0].content;
    EXPECT_EQ(content.title, "Tamsel");
    EXPECT_EQ(content.body, "Body of n1");
    EXPECT_EQ(content.sound, NotificationSound::none);
    EXPECT_EQ(content.threadIdentifier, kReceiver + ":" + groupKey('b'));
    EXPECT_EQ(content.badge, 7);
    EXPECT_FALSE(content.communication);
    EXPECT_EQ(*content.userInfo, (Json{{"tamselReceiverId", kReceiver},
                                       {"tamselNotificationId", notificationID("n1")},
                                       {"tamselNotificationRevision", "12"},
                                       {"tamselGroupKey", groupKey('b')},
                                       {"tamselTarget", fields.target}}));
}

TEST(PresenterApply, EmptyPageOpensAndReleasesTheLedgerWithoutWriting) {
    PresenterFixture f;
    f.presenter().apply(kReceiver, {});
    EXPECT_EQ(f.files->calls(FileOperation::open), 1);
    EXPECT_EQ(f.files->calls(FileOperation::close), 1);
    EXPECT_EQ(f.files->calls(FileOperation::writeFileAtomically), 0);
    EXPECT_FALSE(std::filesystem::exists(f.ledgerFile()));
    EXPECT_THAT(f.files->openDescriptors(), IsEmpty());
    EXPECT_TRUE(f.lockIsFree());
}

TEST(PresenterApply, FirstRecordCreatesThePrivateLedgerFile) {
    PresenterFixture f;
    ::mode_t old = ::umask(0);  // whatever the umask, the modes are exact
    f.presenter().apply(kReceiver, {change("n1", "1")});
    ::umask(old);
    EXPECT_EQ(tamsel::testing::permissionsOf(f.ledgerDirectory()), 0700u);
    EXPECT_EQ(tamsel::testing::permissionsOf(f.ledgerFile()), 0600u);
    EXPECT_EQ(tamsel::testing::permissionsOf(f.lockFile()), 0600u);
    // Compact and exactly one entry.
    EXPECT_EQ(tamsel::testing::readText(f.ledgerFile()),
              R"({")" + ledgerKey("n1") + R"(":{"intent":"none","revision":"1","state":"available"}})");
}

TEST(PresenterApply, WithdrawalOfANeverShownNotificationIsRecordedAndBlocksOlderAndEqualRevisions) {
    PresenterFixture f;
    f.presenter().apply(kReceiver, {withdrawal("n1", "7")});
    EXPECT_THAT(f.center->removedDelivered(), ElementsAre(IsEmpty()));
    EXPECT_THAT(f.center->removedPending(), ElementsAre(IsEmpty()));
    EXPECT_EQ(f.entry("n1"), ledgerEntry("7", "withdrawn", "none"));

    f.presenter().apply(kReceiver, {change("n1", "6"), change("n1", "7"), withdrawal("n1", "7")});
    EXPECT_THAT(f.center->added(), IsEmpty());
    EXPECT_EQ(f.center->removedDelivered().size(), 1u);
    EXPECT_EQ(f.entry("n1"), ledgerEntry("7", "withdrawn", "none"));
}

TEST(PresenterApply, WithdrawalRemovesOnlyNotificationsOfTheChangeAtItsRevisionOrOlder) {
    PresenterFixture f;
    auto withRequestId = [](NotificationRequest r, std::string id) {
        r.identifier = std::move(id);
        return r;
    };
    auto noRevision = shownRequest("n1", "1");
    {
        auto content = std::make_shared<NotificationContent>(*noRevision.content);
        content->userInfo->erase("tamselNotificationRevision");
        noRevision = {"no-revision", content};
    }
    auto numericReceiver = shownRequest("n1", "1");
    {
        auto content = std::make_shared<NotificationContent>(*numericReceiver.content);
        (*content->userInfo)["tamselReceiverId"] = 42;
        numericReceiver = {"numeric-receiver", content};
    }
    f.center->deliver(withRequestId(shownRequest("n1", "4"), "older"));
    f.center->deliver(withRequestId(shownRequest("n1", "5"), "same"));
    f.center->deliver(withRequestId(shownRequest("n1", "6"), "newer"));
    f.center->deliver(withRequestId(shownRequest("n2", "1"), "other-notification"));
    f.center->deliver(
        withRequestId(shownRequest("n1", "1", 'a', "receiver_fedcba9876543210"), "other-receiver"));
    f.center->deliver(noRevision);
    f.center->deliver(numericReceiver);
    f.center->deliver({"no-user-info", std::make_shared<const NotificationContent>()});
    f.center->schedule(withRequestId(shownRequest("n1", "2"), "pending-older"));
    f.center->schedule(withRequestId(shownRequest("n1", "9"), "pending-newer"));

    f.presenter().apply(kReceiver, {withdrawal("n1", "5")});

    const std::vector<std::string> expected{"older", "same", "no-revision", "pending-older"};
    EXPECT_THAT(f.center->removedDelivered(), ElementsAre(expected));
    EXPECT_THAT(f.center->removedPending(), ElementsAre(expected));
    std::vector<std::string> left;
    for (const auto& d : f.center->delivered()) left.push_back(d.request.identifier);
    EXPECT_THAT(left, ElementsAre("newer", "other-notification", "other-receiver", "numeric-receiver",
                                  "no-user-info"));
    ASSERT_EQ(f.center->pending().size(), 1u);
    EXPECT_EQ(f.center->pending()[0].identifier, "pending-newer");
}

// A withdrawal, and a change without sender, delete the interaction an earlier
// revision donated, before anything is posted.
TEST(PresenterApply, WithdrawalOrChangeWithoutSenderDeletesAnOutstandingInteraction) {
    struct Row {
        const char* name;
        NotificationDeliveryChange change;
        const char* state;
        std::size_t posted;
    };
    for (const auto& row : {Row{"withdrawal", withdrawal("n1", "2"), "withdrawn", 0},
                            Row{"change without sender", change("n1", "2"), "available", 1}}) {
        SCOPED_TRACE(row.name);
        PresenterFixture f;
        const std::string interaction = "tamsel.notification-delivery." + ledgerKey("n1");
        f.writeLedger({{ledgerKey("n1"), ledgerEntry("1", "available", "donated")}});
        f.store->seed(interactionWithIdentifier(interaction));
        f.center->beforeAdd([&](const NotificationRequest&) { EXPECT_FALSE(f.store->holds(interaction)); });

        f.presenter().apply(kReceiver, {row.change});
        EXPECT_THAT(f.store->deletions(), ElementsAre(std::vector<std::string>{interaction}));
        EXPECT_FALSE(f.store->holds(interaction));
        EXPECT_EQ(f.center->added().size(), row.posted);
        EXPECT_EQ(f.entry("n1"), ledgerEntry("2", row.state, "none"));
    }
}

TEST(PresenterApply, FailedDeletionEndsTheCallWithoutRecordingTheChange) {
    struct Row {
        const char* name;
        NotificationDeliveryChange change;
    };
    for (const auto& row :
         {Row{"withdrawal", withdrawal("n1", "2")}, Row{"change without sender", change("n1", "2")}}) {
        SCOPED_TRACE(row.name);
        PresenterFixture f;
        f.writeLedger({{ledgerKey("n1"), ledgerEntry("1", "available", "donated")}});
        const std::string before = tamsel::testing::readText(f.ledgerFile());
        f.store->failNextDelete(IntentError(IntentError::kDeletionFailed));
        EXPECT_EQ(thrownCode<IntentError>([&] {
                      f.presenter().apply(kReceiver, {row.change, change("n2", "1")});
                  }),
                  IntentError::kDeletionFailed);
        EXPECT_EQ(tamsel::testing::readText(f.ledgerFile()), before);
        // Nothing after the failure: neither this change's post nor the next change.
        EXPECT_THAT(f.center->added(), IsEmpty());
        EXPECT_TRUE(f.lockIsFree());
    }
}

TEST(PresenterApply, SenderMakesACommunicationNotificationAndIsRecordedAsDonated) {
    PresenterFixture f;
    ScopedRecordingLog log;
    f.presenter().apply(kReceiver, {fromSender(change("n1", "1", 'c'), "Ada Example", senderID('7'))});

    auto added = f.center->added();
    ASSERT_EQ(added.size(), 1u);
    const auto& content = *added[0].content;
    EXPECT_EQ(content.title, "Ada Example");
    EXPECT_EQ(*content.communication, (Json{{"senderIdentifier", senderID('7')},
                                            {"senderDisplayName", "Ada Example"},
                                            {"conversationIdentifier", kReceiver + ":" + groupKey('c')},
                                            {"serviceName", "Tamsel"}}));
    auto donated = f.store->donated();
    ASSERT_EQ(donated.size(), 1u);
    EXPECT_EQ(donated[0].identifier, "tamsel.notification-delivery." + ledgerKey("n1"));
    EXPECT_EQ(donated[0].groupIdentifier, "tamsel.notification-delivery." + kReceiver);
    EXPECT_EQ(donated[0].direction, InteractionDirection::incoming);
    EXPECT_EQ(f.entry("n1"), ledgerEntry("1", "available", "donated"));
    EXPECT_THAT(log.lines(), ElementsAre("default notification-intent communication_intent_applied"));
}

TEST(PresenterApply, FailingIntentIsLoggedCleanedUpAndTheNotificationStillShown) {
    struct Row {
        const char* name;
        std::string sender;
        std::function<void(MemoryInteractionStore&)> fail;
        bool cleanupFails;
        std::vector<std::string> log;
        const char* intent;
    };
    const std::string failed = "error notification-intent communication_intent_failed code=";
    const Row rows[] = {
        {"sender refused (63 digits)",
         "tamsel_sender_" + std::string(63, 'a'),
         {},
         false,
         {failed + "2"},
         "none"},
        {"sender refused (upper-case hex)",
         "tamsel_sender_" + std::string(64, 'A'),
         {},
         false,
         {failed + "2"},
         "none"},
        {"sender refused (no prefix)", std::string(64, 'a'), {}, false, {failed + "2"}, "none"},
        {"donation fails",
         senderID(),
         [](MemoryInteractionStore& s) { s.failNextDonate(IntentError(IntentError::kDonationFailed)); },
         false,
         {failed + "1901"},
         "none"},
        {"content update fails",
         senderID(),
         [](MemoryInteractionStore& s) { s.failNextContentUpdate(IntentError(IntentError::kInvalidIntent)); },
         false,
         {failed + "1903"},
         "none"},
        {"content update and cleanup fail",
         senderID(),
         [](MemoryInteractionStore& s) { s.failNextContentUpdate(IntentError(IntentError::kInvalidIntent)); },
         true,
         {failed + "1903", "error notification-intent communication_intent_cleanup_failed"},
         "donated"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PresenterFixture f;
        ScopedRecordingLog log;
        if (row.fail) row.fail(*f.store);
        if (row.cleanupFails) f.store->failNextDelete(IntentError(IntentError::kDeletionFailed));

        auto c = change("n1", "1");
        if (NotificationDeliveryRecords::senderIdentifier(row.sender))
            c = fromSender(c, "Ada Example", row.sender);
        else  // the validator refuses this sender; the presenter must still never donate it
            c.sender = NotificationDeliverySender{row.sender, "Ada Example"};
        f.presenter().apply(kReceiver, {c});

        EXPECT_EQ(log.lines(), row.log);
        auto added = f.center->added();
        ASSERT_EQ(added.size(), 1u);
        EXPECT_FALSE(added[0].content->communication);
        EXPECT_EQ(added[0].content->title, "Ada Example");
        // The clean-up always names the one interaction.
        EXPECT_EQ(f.store->calls(InteractionOperation::deleteInteractions), 1);
        EXPECT_EQ(f.entry("n1"), ledgerEntry("1", "available", row.intent));
    }
}

TEST(PresenterApply, OwnNotificationIsHandedOffInsteadOfPosted) {
    PresenterFixture f;
    ScopedRecordingLog log;
    auto remote = f.remote('r');
    f.presenter(remote).apply(kReceiver, {change("n0", "1", 'b'), fromSender(change("n1", "3", 'r'))});

    auto handed = f.handoffs->all();
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(idOf(handed[0]), notificationID("n1"));
    EXPECT_EQ(handed[0]->sound, NotificationSound::defaultSound);
    EXPECT_TRUE(handed[0]->communication);
    auto added = f.center->added();
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(idOf(added[0].content), notificationID("n0"));
    EXPECT_EQ(f.entry("n1"), ledgerEntry("3", "available", "donated"));
    EXPECT_THAT(log.messages(), ElementsAre("communication_intent_applied", "extension_content_handoff"));
}

// A second change of the push's own conversation in one page finds the hand-off
// taken: it is posted like any other notification and the page goes on.
TEST(PresenterApply, SecondOwnChangeInOnePageIsPostedAndThePageGoesOn) {
    PresenterFixture f;
    auto remote = f.remote('r');
    f.presenter(remote).apply(kReceiver,
                              {change("n1", "1", 'r'), change("n2", "1", 'r'), change("n3", "1", 'b')});

    auto handed = f.handoffs->all();
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(idOf(handed[0]), notificationID("n1"));
    auto added = f.center->added();
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(idOf(added[0].content), notificationID("n2"));
    EXPECT_EQ(added[0].identifier, "tamsel:v2:" + kReceiver + ":" + groupKey('r'));
    EXPECT_EQ(idOf(added[1].content), notificationID("n3"));
    for (const char* id : {"n1", "n2", "n3"})
        EXPECT_EQ(f.entry(id), ledgerEntry("1", "available", "none")) << id;

    // The next push for the same conversation repeats nothing but the hand-off.
    auto next = f.remote('r');
    f.presenter(next).apply(kReceiver,
                            {change("n1", "1", 'r'), change("n2", "1", 'r'), change("n3", "1", 'b')});
    EXPECT_EQ(f.center->added().size(), 2u + 1u);  // n2 again, silently: its hand-off is taken by n1
    EXPECT_EQ(f.center->added().back().content->sound, NotificationSound::none);
    EXPECT_EQ(f.handoffs->all().size(), 2u);
}

// Each of the push's own changes costs one durable rewrite of the ledger,
// whether it is handed off or, with the hand-off taken, posted.
TEST(PresenterApply, OwnChangesAreRecordedOnceEach) {
    for (bool fallbackFirst : {false, true}) {
        SCOPED_TRACE(fallbackFirst ? "hand-off taken by the fallback" : "handed off");
        PresenterFixture f;
        auto remote = f.remote('r');
        if (fallbackFirst) remote->finishFallback();
        const int before = f.files->calls(FileOperation::writeFileAtomically);
        f.presenter(remote).apply(kReceiver, {change("n1", "1", 'r')});
        EXPECT_EQ(f.files->calls(FileOperation::writeFileAtomically) - before, 1);
        EXPECT_EQ(f.entry("n1"), ledgerEntry("1", "available", "none"));
        EXPECT_EQ(f.center->added().size(), fallbackFirst ? 1u : 0u);
    }
}

TEST(PresenterApply, RefusedHandOffWhosePostFailsPutsTheEntryBack) {
    struct Row {
        const char* name;
        Json previous;  // null: none
    };
    for (const auto& row :
         {Row{"no earlier entry", nullptr},
          Row{"older entry with an extra member",
              Json{{"revision", "1"}, {"state", "available"}, {"intent", "donated"}, {"x", "y"}}}}) {
        SCOPED_TRACE(row.name);
        PresenterFixture f;
        if (!row.previous.is_null()) f.writeLedger({{ledgerKey("n2"), row.previous}});
        auto remote = f.remote('r');
        remote->finishFallback();  // time expiry came first
        f.center->failNextAdd(NotificationCenterError(NotificationCenterError::kNotificationsNotAllowed));
        EXPECT_EQ(thrownCode<NotificationCenterError>([&] {
                      f.presenter(remote).apply(kReceiver, {change("n2", "2", 'r'), change("n3", "1", 'b')});
                  }),
                  NotificationCenterError::kNotificationsNotAllowed);
        EXPECT_EQ(f.entry("n2"), row.previous);
        EXPECT_TRUE(f.entry("n3").is_null());
        EXPECT_THAT(f.center->added(), IsEmpty());
        EXPECT_TRUE(f.lockIsFree());

        // Applied again later, it is shown then.
        f.presenter(f.remote('r')).apply(kReceiver, {change("n2", "2", 'r'), change("n3", "1", 'b')});
        EXPECT_EQ(f.entry("n2"), ledgerEntry("2", "available", "none"));
        EXPECT_EQ(f.entry("n3"), ledgerEntry("1", "available", "none"));
    }
}

// The entry is written before the hand-off; when the permission change after
// that write fails, the hand-off never happens, so the entry must not stay.
TEST(PresenterApply, RecordBeforeTheHandOffThatFailsIsUndone) {
    PresenterFixture f;
    f.files->failNext(FileOperation::setPermissions, FileSystemError(EPERM, "chmod"));
    EXPECT_THROW(f.presenter(f.remote('r')).apply(kReceiver, {change("n1", "1", 'r')}), FileSystemError);
    EXPECT_THAT(f.handoffs->all(), IsEmpty());
    EXPECT_TRUE(f.entry("n1").is_null());

    // So a later push of any conversation still shows it.
    f.presenter(f.remote('z')).apply(kReceiver, {change("n1", "1", 'r')});
    EXPECT_EQ(f.center->added().size(), 1u);
    EXPECT_EQ(f.entry("n1"), ledgerEntry("1", "available", "none"));
}

TEST(PresenterApply, FallbackThatWonTheRaceLeavesTheOwnChangeToBePosted) {
    PresenterFixture f;
    auto remote = f.remote('r');
    remote->finishFallback();
    f.presenter(remote).apply(kReceiver, {fromSender(change("n1", "4", 'r'))});

    auto handed = f.handoffs->all();
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0]->title, "fallback");
    auto added = f.center->added();
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(idOf(added[0].content), notificationID("n1"));
    EXPECT_EQ(added[0].content->sound, NotificationSound::defaultSound);
    EXPECT_EQ(f.entry("n1"), ledgerEntry("4", "available", "donated"));
}

// The hand-off and the time-expiry fallback race for real: exactly one content
// reaches the handler, and the change is shown exactly once either way.
TEST(PresenterApply, HandOffRacingTheFallbackShowsTheChangeExactlyOnce) {
    int presenterWon = 0, fallbackWon = 0;
    for (int round = 0; round < 40; ++round) {
        PresenterFixture f;
        auto remote = f.remote('r');
        auto presenter = f.presenter(remote);
        // Time expires right around the hand-off: as soon as the entry recorded
        // just before it is on disk.
        std::jthread expiry([&] {
            while (!std::filesystem::exists(f.ledgerFile())) std::this_thread::yield();
            remote->finishFallback();
        });
        EXPECT_NO_THROW(presenter.apply(kReceiver, {change("n1", "1", 'r')}));
        expiry.join();

        auto handed = f.handoffs->all();
        ASSERT_EQ(handed.size(), 1u);
        auto added = f.center->added();
        if (handed[0]->title == "fallback") {
            ++fallbackWon;
            ASSERT_EQ(added.size(), 1u);
            EXPECT_EQ(idOf(added[0].content), notificationID("n1"));
        } else {
            ++presenterWon;
            EXPECT_EQ(idOf(handed[0]), notificationID("n1"));
            EXPECT_THAT(added, IsEmpty());
        }
        EXPECT_EQ(f.entry("n1"), ledgerEntry("1", "available", "none"));
    }
    EXPECT_EQ(presenterWon + fallbackWon, 40);
}

TEST(PresenterApply, CancellationBetweenChangesLeavesTheRestUntouched) {
    PresenterFixture f;
    auto presenter = std::make_shared<NotificationDeliveryPresenter>(f.presenter());
    std::latch firstAdd(1), cancelled(1);
    f.center->beforeAdd([&](const NotificationRequest&) {
        firstAdd.count_down();
        cancelled.wait();
    });
    auto task = Task<void>::start([presenter] {
        presenter->apply(kReceiver, {change("n1", "1", 'a'), change("n2", "1", 'b')});
    });
    firstAdd.wait();
    task.cancel();
    cancelled.count_down();
    EXPECT_THROW(task.value(), CancellationError);
    // The task's thread winds down after publishing its outcome; let it end
    // before the process does.
    EXPECT_TRUE(waitForAllTasks(std::chrono::steady_clock::now() + std::chrono::seconds(10)));

    EXPECT_EQ(f.center->added().size(), 1u);
    EXPECT_EQ(f.entry("n1"), ledgerEntry("1", "available", "none"));
    EXPECT_TRUE(f.entry("n2").is_null());
    EXPECT_TRUE(f.lockIsFree());
}

TEST(PresenterApply, CancellationBeforePostingOrHandingOffRecordsNothing) {
    for (char group : {'b', 'r'}) {
        SCOPED_TRACE(group == 'r' ? "the push's own notification" : "another notification");
        PresenterFixture f;
        auto presenter = std::make_shared<NotificationDeliveryPresenter>(f.presenter(f.remote('r')));
        std::latch donating(1), cancelled(1);
        // The run is cancelled while the intent is being donated; the next check
        // is the one before posting or handing off.
        f.store->beforeDonate([&](const Interaction&) {
            donating.count_down();
            cancelled.wait();
        });
        auto task = Task<void>::start(
            [presenter, group] { presenter->apply(kReceiver, {fromSender(change("n1", "1", group))}); });
        donating.wait();
        task.cancel();
        cancelled.count_down();
        EXPECT_THROW(task.value(), CancellationError);
        EXPECT_TRUE(waitForAllTasks(std::chrono::steady_clock::now() + std::chrono::seconds(10)));

        EXPECT_THAT(f.center->added(), IsEmpty());
        EXPECT_THAT(f.handoffs->all(), IsEmpty());
        EXPECT_TRUE(f.entry("n1").is_null());
        EXPECT_TRUE(f.lockIsFree());
    }
}

TEST(PresenterApply, PersistsAcrossPresentersSoNothingIsRepeated) {
    PresenterFixture f;
    const std::vector<NotificationDeliveryChange> page{fromSender(change("n1", "1", 'a')),
                                                       change("n2", "1", 'b'), withdrawal("n3", "1")};
    f.presenter().apply(kReceiver, page);
    const auto donations = f.store->donations().size();
    const std::string written = tamsel::testing::readText(f.ledgerFile());

    // A new presenter, as a later process would build it, reads what was written.
    f.presenter().apply(kReceiver, page);
    f.presenter().apply(kReceiver, {change("n1", "1", 'a'), change("n3", "1", 'c')});

    EXPECT_EQ(f.center->added().size(), 2u);
    EXPECT_EQ(f.store->donations().size(), donations);
    EXPECT_EQ(f.center->removedDelivered().size(), 1u);
    EXPECT_EQ(tamsel::testing::readText(f.ledgerFile()), written);
}

TEST(PresenterApply, HeldLockFailsAtOnceWithoutTouchingAnything) {
    PresenterFixture f;
    f.writeLedger({{ledgerKey("n1"), ledgerEntry("1", "available", "none")}});
    const std::string before = tamsel::testing::readText(f.ledgerFile());
    // A second descriptor of this very process holds it.
    int fd = ::open(f.lockFile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);

    expectResponse([&] { f.presenter().apply(kReceiver, {change("n1", "2")}); });
    expectResponse([&] { f.presenter().applyBadge({kReceiver, "9", 4}); });

    EXPECT_EQ(f.platformCalls(), 0);
    EXPECT_EQ(f.files->calls(FileOperation::readFile), 0);
    EXPECT_EQ(tamsel::testing::readText(f.ledgerFile()), before);
    EXPECT_THAT(f.files->openDescriptors(), IsEmpty());
    ::close(fd);
    f.presenter().apply(kReceiver, {change("n1", "2")});
    EXPECT_EQ(f.entry("n1"), ledgerEntry("2", "available", "none"));
}

TEST(PresenterApply, UnknownTopLevelMembersSurviveAndRewrittenEntriesLoseExtraMembers) {
    PresenterFixture f;
    f.writeLedger(
        {{"future-member", {{"anything", "kept"}}},
         {ledgerKey("n1"), {{"revision", "1"}, {"state", "withdrawn"}, {"intent", "none"}, {"x", "y"}}},
         {ledgerKey("n2"), {{"revision", "1"}, {"state", "available"}, {"x", "y"}}}});
    f.presenter().apply(kReceiver, {change("n1", "1"), change("n2", "2")});

    Json ledger = f.ledger();
    EXPECT_EQ(ledger["future-member"], (Json{{"anything", "kept"}}));
    // n1 was skipped (its extra member did not disturb reading): unchanged.
    EXPECT_EQ(ledger[ledgerKey("n1")]["x"], "y");
    EXPECT_EQ(ledger[ledgerKey("n2")], ledgerEntry("2", "available", "none"));
}

}  // namespace
}  // namespace presentation_test
