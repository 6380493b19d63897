// A failure injected at every platform call that apply() and applyBadge() make,
// one at a time: afterwards the ledger agrees with what was really done, the
// lock is free, no descriptor is left open, and applying again completes the
// work without showing anything twice.
#include <gtest/gtest.h>

#include <map>
#include <variant>

#include "Services/NotificationDeliveryFailure.h"
#include "tests/Services/PresenterFixture.h"

namespace presentation_test {
namespace {

using Operation = std::variant<FileOperation, CenterOperation, InteractionOperation>;

struct FaultPoint {
    Operation operation;
    int nth;
};

std::string describe(const FaultPoint& point) {
    std::string name;
    if (auto* file = std::get_if<FileOperation>(&point.operation)) name = fileOperationName(*file);
    if (auto* center = std::get_if<CenterOperation>(&point.operation))
        name = "center#" + std::to_string(static_cast<int>(*center));
    if (auto* store = std::get_if<InteractionOperation>(&point.operation))
        name = "interactions#" + std::to_string(static_cast<int>(*store));
    return name + " call " + std::to_string(point.nth);
}

const FileOperation kFileOperations[] = {
    FileOperation::containerDirectory,
    FileOperation::applicationSupportDirectory,
    FileOperation::createDirectories,
    FileOperation::exists,
    FileOperation::readFile,
    FileOperation::writeFileAtomically,
    FileOperation::setPermissions,
    FileOperation::open,
    FileOperation::flock,
    FileOperation::close,
};
const CenterOperation kCenterOperations[] = {
    CenterOperation::deliveredNotifications,
    CenterOperation::pendingNotificationRequests,
    CenterOperation::removeDeliveredNotifications,
    CenterOperation::removePendingNotificationRequests,
    CenterOperation::add,
    CenterOperation::setBadgeCount,
};
const InteractionOperation kStoreOperations[] = {InteractionOperation::donate,
                                                 InteractionOperation::deleteInteractions,
                                                 InteractionOperation::contentUpdatedFromIntent};

// Every call a clean run made, as fault points.
std::vector<FaultPoint> pointsOf(const PresenterFixture& f) {
    std::vector<FaultPoint> points;
    for (auto op : kFileOperations)
        for (int n = 1; n <= f.files->calls(op); ++n) points.push_back({op, n});
    for (auto op : kCenterOperations)
        for (int n = 1; n <= f.center->calls(op); ++n) points.push_back({op, n});
    for (auto op : kStoreOperations)
        for (int n = 1; n <= f.store->calls(op); ++n) points.push_back({op, n});
    return points;
}

bool isRaw(FileOperation op) {
    return op == FileOperation::open || op == FileOperation::flock || op == FileOperation::close;
}

void inject(PresenterFixture& f, const FaultPoint& point) {
    if (auto* file = std::get_if<FileOperation>(&point.operation)) {
        if (isRaw(*file))
            f.files->failRawCall(*file, point.nth, EIO);
        else
            f.files->failCall(*file, point.nth, std::make_exception_ptr(FileSystemError(EIO, "injected")));
    } else if (auto* center = std::get_if<CenterOperation>(&point.operation)) {
        f.center->faults().failCall(
            *center, point.nth,
            std::make_exception_ptr(NotificationCenterError(NotificationCenterError::kStoreUnavailable)));
    } else {
        f.store->faults().failCall(std::get<InteractionOperation>(point.operation), point.nth,
                                   std::make_exception_ptr(IntentError(IntentError::kStoreUnavailable)));
    }
}

void clearFaults(PresenterFixture& f) {
    f.files->clearFailures();
    f.center->faults().clear();
    f.store->faults().clear();
}

// The error that ended a faulted call is the injected one, unchanged, or the
// ledger lock's refusal.
void expectInjectedOrResponse(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const FileSystemError& e) {
        EXPECT_EQ(e.code().value(), EIO);
    } catch (const NotificationCenterError& e) {
        EXPECT_EQ(e.code(), NotificationCenterError::kStoreUnavailable);
    } catch (const IntentError& e) {
        EXPECT_EQ(e.code(), IntentError::kStoreUnavailable);
    } catch (const NotificationDeliveryFailure& e) {
        EXPECT_EQ(e.kind(), NotificationDeliveryFailure::Kind::response);
    } catch (...) {
        ADD_FAILURE() << "an error that was not injected";
    }
}

const std::string kFutureMember = "future-member";

struct PageScenario {
    const Json seeds = {
        {"$badge", {{"receiver", kReceiver}, {"revision", "5"}, {"count", "3"}}},
        {kFutureMember, {{"a", "b"}}},
        {ledgerKey("n-withdraw"), ledgerEntry("1", "available", "donated")},
        {ledgerKey("n-nosender"), ledgerEntry("1", "available", "donated")},
    };
    const std::vector<NotificationDeliveryChange> page = {
        fromSender(change("n-sender", "1", 's')), withdrawal("n-withdraw", "2"),
        change("n-nosender", "2", 'n'),           fromSender(change("n-own", "1", 'r')),
        fromSender(change("n-own2", "1", 'r')),  // its hand-off is taken by n-own
    };
    const std::map<std::string, std::string> finalState = {{notificationID("n-sender"), "available"},
                                                           {notificationID("n-withdraw"), "withdrawn"},
                                                           {notificationID("n-nosender"), "available"},
                                                           {notificationID("n-own"), "available"},
                                                           {notificationID("n-own2"), "available"}};

    void seed(PresenterFixture& f) const {
        f.writeLedger(seeds);
        f.center->deliver(shownRequest("n-withdraw", "1", 'w'));
        f.center->deliver(shownRequest("n-nosender", "1", 'n'));
        f.store->seed(interactionWithIdentifier(interactionOf("n-withdraw")));
        f.store->seed(interactionWithIdentifier(interactionOf("n-nosender")));
    }

    static std::string interactionOf(const std::string& id) {
        return "tamsel.notification-delivery." + ledgerKey(id);
    }

    static bool shown(PresenterFixture& f, const NotificationDeliveryChange& c) {
        auto matches = [&](const SharedContent& content) {
            return content && content->userInfo &&
                   content->userInfo->value("tamselNotificationId", "") == c.notificationID &&
                   content->userInfo->value("tamselNotificationRevision", "") == c.revision;
        };
        for (const auto& handed : f.handoffs->all())
            if (matches(handed)) return true;
        for (const auto& delivered : f.center->delivered())
            if (matches(delivered.request.content)) return true;
        return false;
    }

    static bool anyBelonging(PresenterFixture& f, const NotificationDeliveryChange& c) {
        auto belongs = [&](const SharedContent& content) {
            return content && content->userInfo &&
                   content->userInfo->value("tamselNotificationId", "") == c.notificationID &&
                   !NotificationDeliveryRecords::newer(
                       content->userInfo->value("tamselNotificationRevision", "0"), c.revision);
        };
        for (const auto& d : f.center->delivered())
            if (belongs(d.request.content)) return true;
        for (const auto& p : f.center->pending())
            if (belongs(p.content)) return true;
        return false;
    }

    // What the ledger says is true of the centre, the hand-offs and the store.
    void expectConsistent(PresenterFixture& f) const {
        Json ledger = f.ledger();
        for (const auto& [key, value] : seeds.items())
            if (key.rfind(kReceiver + ":", 0) != 0) {
                EXPECT_EQ(ledger[key], value) << key;
            }
        for (const auto& c : page) {
            SCOPED_TRACE(c.notificationID);
            Json entry = f.entry(c.notificationID);
            if (entry.is_object() && entry.value("revision", "") == c.revision) {
                EXPECT_EQ(entry.size(), 3u);
                if (entry["state"] == "available") {
                    EXPECT_TRUE(shown(f, c)) << "recorded but never shown";
                }
                if (entry["state"] == "withdrawn") {
                    EXPECT_FALSE(anyBelonging(f, c)) << "recorded but not removed";
                }
                if (entry["intent"] == "none") {
                    EXPECT_FALSE(f.store->holds(interactionOf(c.notificationID)));
                }
            } else {
                auto seeded = seeds.find(kReceiver + ":" + c.notificationID);
                EXPECT_EQ(entry, seeded == seeds.end() ? Json() : *seeded) << "changed without being applied";
            }
        }
        EXPECT_TRUE(f.lockIsFree());
        EXPECT_TRUE(f.files->openDescriptors().empty());
    }

    void expectComplete(PresenterFixture& f) const {
        for (const auto& c : page) {
            SCOPED_TRACE(c.notificationID);
            Json entry = f.entry(c.notificationID);
            EXPECT_EQ(entry.value("revision", ""), c.revision);
            EXPECT_EQ(entry.value("state", ""), finalState.at(c.notificationID));
            EXPECT_EQ(entry.value("intent", "") == "donated",
                      f.store->holds(interactionOf(c.notificationID)));
            if (!c.withdrawn) {
                EXPECT_TRUE(shown(f, c));
            }
        }
        expectConsistent(f);
    }
};

TEST(PresenterFaults, EveryPlatformCallOfApplyCanFailWithoutLosingOrRepeatingWork) {
    const PageScenario scenario;
    std::vector<FaultPoint> points;
    {
        PresenterFixture clean;
        scenario.seed(clean);
        clean.presenter(clean.remote('r')).apply(kReceiver, scenario.page);
        scenario.expectComplete(clean);
        points = pointsOf(clean);
    }
    ASSERT_GT(points.size(), 30u);

    for (const auto& point : points) {
        SCOPED_TRACE(describe(point));
        PresenterFixture f;
        scenario.seed(f);
        inject(f, point);

        std::exception_ptr error;
        try {
            f.presenter(f.remote('r')).apply(kReceiver, scenario.page);
        } catch (...) {
            error = std::current_exception();
        }
        scenario.expectConsistent(f);
        if (error) {
            expectInjectedOrResponse(error);
        } else {
            // Only what apply() tolerates may fail without ending it: an intent
            // (logged), or releasing the lock.
            for (const auto& c : scenario.page)
                EXPECT_EQ(f.entry(c.notificationID).value("revision", ""), c.revision) << c.notificationID;
        }

        // The next push applies the same page again.
        clearFaults(f);
        ASSERT_NO_THROW(f.presenter(f.remote('r')).apply(kReceiver, scenario.page));
        scenario.expectComplete(f);

        // Shown at most once per revision: a repeat is allowed only without sound,
        // or when the ledger could not record a post that had happened.
        const auto* file = std::get_if<FileOperation>(&point.operation);
        const bool ledgerWriteFailed =
            file && (*file == FileOperation::writeFileAtomically || *file == FileOperation::setPermissions);
        std::map<std::pair<std::string, std::string>, int> posts;
        for (const auto& request : f.center->added()) {
            auto key = std::make_pair(request.content->userInfo->value("tamselNotificationId", ""),
                                      request.content->userInfo->value("tamselNotificationRevision", ""));
            if (++posts[key] > 1 && !ledgerWriteFailed) {
                EXPECT_EQ(request.content->sound, NotificationSound::none) << key.first << " posted again";
            }
        }
    }
}

TEST(PresenterFaults, EveryPlatformCallOfApplyBadgeCanFailLeavingTheBadgeEntryTruthful) {
    const Json seeds = {{"$badge", {{"receiver", kReceiver}, {"revision", "5"}, {"count", "3"}}},
                        {ledgerKey("n1"), ledgerEntry("1", "available", "none")}};
    const NotificationBadge badge{kReceiver, "6", 8};
    const Json newEntry = {{"receiver", kReceiver}, {"revision", "6"}, {"count", "8"}};

    std::vector<FaultPoint> points;
    {
        PresenterFixture clean;
        clean.writeLedger(seeds);
        clean.presenter().applyBadge(badge);
        points = pointsOf(clean);
    }
    ASSERT_GE(points.size(), 8u);

    for (const auto& point : points) {
        SCOPED_TRACE(describe(point));
        PresenterFixture f;
        f.writeLedger(seeds);
        inject(f, point);
        try {
            f.presenter().applyBadge(badge);
        } catch (...) {
            expectInjectedOrResponse(std::current_exception());
        }
        Json ledger = f.ledger();
        EXPECT_EQ(ledger[ledgerKey("n1")], seeds[ledgerKey("n1")]);
        if (ledger["$badge"] == newEntry)
            EXPECT_EQ(f.center->badge(), 8) << "recorded but not set";
        else
            EXPECT_EQ(ledger["$badge"], seeds["$badge"]);
        EXPECT_TRUE(f.lockIsFree());
        EXPECT_TRUE(f.files->openDescriptors().empty());

        clearFaults(f);
        f.presenter().applyBadge(badge);
        EXPECT_EQ(f.ledger()["$badge"], newEntry);
        EXPECT_EQ(f.center->badge(), 8);
    }
}

}  // namespace
}  // namespace presentation_test
