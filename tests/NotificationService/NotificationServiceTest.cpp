#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "NotificationService/NotificationService.h"
#include "platform/file/PosixFileSystem.h"
#include "platform/linux/CurlHTTPSession.h"
#include "platform/testing/MemoryInteractionStore.h"
#include "platform/testing/MemoryKeychain.h"
#include "platform/testing/MemoryNotificationCenter.h"
#include "platform/testing/RecordingLogSink.h"
#include "tests/support/Process.h"
#include "tests/support/ScratchDirectory.h"

namespace TamselNotificationService {
namespace {

using tamsel::platform::Json;
using tamsel::platform::MemoryBundle;
using tamsel::platform::NotificationContent;
using tamsel::platform::NotificationRequest;
using tamsel::platform::PropertyValue;
using tamsel::platform::SharedContent;
using tamsel::platform::testing::ScopedRecordingLog;

const std::string kGroupKey = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

Json wakeup(const std::string& groupKey = kGroupKey) {
    return {{"version", "notification-wakeup.v2"}, {"groupKey", groupKey}};
}

NotificationRequest requestWith(std::optional<Json> tamsel) {
    NotificationContent content;
    content.title = "New message";
    content.userInfo = Json{{"aps", {{"content-available", 1}}}};
    if (tamsel) (*content.userInfo)["tamsel"] = *tamsel;
    return {"push-1", std::make_shared<const NotificationContent>(content)};
}

struct Handed {
    std::mutex mutex;
    std::vector<SharedContent> contents;
    void operator()(SharedContent c) {
        std::lock_guard lock(mutex);
        contents.push_back(std::move(c));
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return contents.size();
    }
};

class NotificationServiceTest : public ::testing::Test {
  protected:
    NotificationServiceTest() {
        bundle->set("TAMSEL_API_BASE_URL", PropertyValue{std::string("https://api.tamsel.example")});
        bundle->set("TAMSEL_NOTIFICATION_KEYCHAIN_GROUP",
                    PropertyValue{std::string("group.tamsel.keychain")});
        bundle->setIdentifier("com.brindaxel.tamsel.NotificationService");
        platform.bundle = bundle;
        platform.clock = std::make_shared<tamsel::platform::SystemClock>();
        // No credential is stored: a run ends at its first step, before any network.
        platform.keychain = std::make_shared<tamsel::platform::testing::MemoryKeychain>();
        platform.sessions = std::make_shared<tamsel::platform::CurlHTTPSessionFactory>(
            tamsel::platform::HTTPSessionSettings{});
        platform.files = std::make_shared<tamsel::platform::PosixFileSystem>(root.path());
        platform.center = std::make_shared<tamsel::platform::testing::MemoryNotificationCenter>();
        platform.interactions = std::make_shared<tamsel::platform::testing::MemoryInteractionStore>();
    }
    tamsel::testing::ScratchDirectory root;
    std::shared_ptr<MemoryBundle> bundle = std::make_shared<MemoryBundle>();
    tamsel::platform::Platform platform;
    ScopedRecordingLog log;
};

// A push that is no well-formed wake-up, or a wake-up without a base URL the
// front can parse, is handed back as it came, before any run.
TEST_F(NotificationServiceTest, RejectsMalformedWakeupsAndWakeupsWithoutAUsableBaseURL) {
    struct Case {
        const char* name;
        std::optional<Json> tamsel;
        std::optional<PropertyValue> baseURL =
            PropertyValue{std::string("https://api.tamsel.example")};  // nothing: unset
    };
    const Case cases[] = {
        {"no tamsel entry (an ordinary push)", std::nullopt},
        {"tamsel is a string", Json("notification-wakeup.v2")},
        {"tamsel is an array", Json::array({"a"})},
        {"third key", Json{{"version", "notification-wakeup.v2"}, {"groupKey", kGroupKey}, {"extra", "x"}}},
        {"groupKey missing", Json{{"version", "notification-wakeup.v2"}}},
        {"a value is a number", Json{{"version", "notification-wakeup.v2"}, {"groupKey", 42}}},
        {"last digit of version differs",
         Json{{"version", "notification-wakeup.v3"}, {"groupKey", kGroupKey}}},
        {"version in other case", Json{{"version", "Notification-Wakeup.v2"}, {"groupKey", kGroupKey}}},
        {"upper-case group key", wakeup(std::string(64, 'A'))},
        {"63 digits", wakeup(kGroupKey.substr(1))},
        {"65 digits", wakeup(kGroupKey + "0")},
        {"group key with a final line break", wakeup(kGroupKey + "\n")},
        {"non-hex letter", wakeup(std::string(63, 'a') + "g")},
        {"no base URL", wakeup(), std::nullopt},
        {"base URL a number", wakeup(), PropertyValue{std::int64_t{443}}},
        {"base URL empty", wakeup(), PropertyValue{std::string("")}},
        {"base URL with a space", wakeup(), PropertyValue{std::string("https://exa mple.com")}},
        {"base URL with an open bracket", wakeup(), PropertyValue{std::string("http://[::1")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.sink().clear();
        if (c.baseURL)
            bundle->set("TAMSEL_API_BASE_URL", *c.baseURL);
        else
            bundle->erase("TAMSEL_API_BASE_URL");
        NotificationService service(platform);
        Handed handed;
        auto request = requestWith(c.tamsel);
        service.didReceive(request, std::ref(handed));
        ASSERT_EQ(handed.count(), 1u);
        EXPECT_EQ(handed.contents[0].get(), request.content.get()) << "the very object, unchanged";
        EXPECT_EQ(log.lines(),
                  (std::vector<std::string>{"info notification-extension extension_request_received",
                                            "error notification-extension extension_request_rejected"}));
    }
}

TEST_F(NotificationServiceTest, TimeExpiryAfterARejectedPushOnlyLogs) {
    NotificationService service(platform);
    Handed handed;
    service.didReceive(requestWith(std::nullopt), std::ref(handed));
    log.sink().clear();
    service.serviceExtensionTimeWillExpire();
    EXPECT_EQ(handed.count(), 1u);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"error notification-extension extension_time_expired"}));
}

TEST_F(NotificationServiceTest, TimeExpiryHandsOffTheFallbackOnceAndOnlyOnce) {
    NotificationService service(platform);
    Handed handed;
    auto request = requestWith(wakeup());
    service.didReceive(request, std::ref(handed));
    service.serviceExtensionTimeWillExpire();
    service.serviceExtensionTimeWillExpire();
    // The run may have claimed the hand-off first and still be making it.
    ASSERT_TRUE(service.waitForRun(std::chrono::steady_clock::now() + std::chrono::seconds(30)));
    ASSERT_EQ(handed.count(), 1u);
    EXPECT_EQ(handed.contents[0].get(), request.content.get());
    auto messages = log.messages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[0], "extension_request_received");
    // Whatever the run did meanwhile, the fallback's pair of events appears at most once.
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "extension_generic_fallback"), 1);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "extension_time_expired"), 2);
}

TEST_F(NotificationServiceTest, TimeExpiryRacingAnotherPushOnTheSameInstanceIsSafe) {
    // The platform may deliver time expiry on its own thread while a new push
    // arrives; the fields must not be torn and each push gets exactly one hand-off.
    NotificationService service(platform);
    for (int round = 0; round < 50; ++round) {
        Handed handed;
        std::thread expiry([&] { service.serviceExtensionTimeWillExpire(); });
        service.didReceive(requestWith(wakeup()), std::ref(handed));
        expiry.join();
        service.serviceExtensionTimeWillExpire();
        // Whoever claimed the hand-off (this expiry or the run) has made it by
        // the time the run has ended.
        ASSERT_TRUE(service.waitForRun(std::chrono::steady_clock::now() + std::chrono::seconds(30)));
        ASSERT_EQ(handed.count(), 1u) << "round " << round;
    }
}

TEST_F(NotificationServiceTest, AWorkerThatRefusesTheBaseURLEndsInTheFallback) {
    // Parseable, so the front accepts it; the worker refuses an origin with a query.
    bundle->set("TAMSEL_API_BASE_URL", PropertyValue{std::string("https://api.tamsel.example/?x=1")});
    NotificationService service(platform);
    Handed handed;
    auto request = requestWith(wakeup());
    service.didReceive(request, std::ref(handed));
    ASSERT_EQ(handed.count(), 1u) << "handed off before didReceive returns";
    EXPECT_EQ(handed.contents[0].get(), request.content.get());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"info notification-extension extension_request_received",
                                        "error notification-extension extension_worker_initialization_failed",
                                        "info notification-extension extension_content_handoff",
                                        "error notification-extension extension_generic_fallback"}));
}

TEST_F(NotificationServiceTest, ARunWithoutCredentialFailsWithTheSystemsErrorThenFallsBack) {
    NotificationService service(platform);
    Handed handed;
    auto request = requestWith(wakeup());
    service.didReceive(request, std::ref(handed));
    ASSERT_TRUE(service.waitForRun(std::chrono::steady_clock::now() + std::chrono::seconds(30)));
    ASSERT_EQ(handed.count(), 1u);
    EXPECT_EQ(handed.contents[0].get(), request.content.get());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "info notification-extension extension_request_received",
                  "error notification-authority shared_keychain_failed operation=load status=-25300",
                  "error notification-extension extension_worker_failed "
                  "type=TamselNotificationService.NotificationDeliveryFailure",
                  "info notification-extension extension_content_handoff",
                  "error notification-extension extension_generic_fallback"}));
}

}  // namespace
}  // namespace TamselNotificationService
