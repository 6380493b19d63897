// Reading the worker credential from the shared keychain group.
#include <gtest/gtest.h>

#include "Services/NotificationDeliveryFailure.h"
#include "Services/NotificationSharedAuthority.h"
#include "platform/Json.h"
#include "platform/file/FileKeychain.h"
#include "platform/testing/MemoryKeychain.h"
#include "platform/testing/RecordingLogSink.h"
#include "tests/support/Expect.h"
#include "tests/support/ScratchDirectory.h"

namespace TamselNotificationService {
namespace {

using namespace std::chrono_literals;
using tamsel::platform::Json;
using tamsel::platform::KeychainQuery;
using tamsel::platform::PropertyValue;
using tamsel::platform::testing::MemoryKeychain;
using tamsel::platform::testing::ScopedRecordingLog;
using tamsel::testing::thrown;

const std::string kGroup = "ABCDE12345.com.brindaxel.tamsel.shared";
const std::string kService = "Tamsel.notification-delivery.v2";
const std::string kAccount = "receiver";
const std::string kProof = "proof_proof_proof_proof_proof_proof_proof_";  // 43 characters

// 2001-01-01T00:00:00Z in Unix seconds.
constexpr std::chrono::seconds kReferenceDate{978'307'200};

Json storedJson() {
    return {{"receiverID", "receiver_0123456789"},
            {"refreshProof", kProof},
            {"authorizationRevision", "17"},
            {"expiresAt", 800'000'000.25}};
}

class SharedAuthority : public ::testing::Test {
  protected:
    SharedAuthority() {
        bundle_->set("TAMSEL_NOTIFICATION_KEYCHAIN_GROUP", PropertyValue{kGroup});
        platform_.bundle = bundle_;
        platform_.keychain = keychain_;
    }

    void storeItem(const std::string& bytes) { keychain_->store(kGroup, kService, kAccount, bytes); }

    std::shared_ptr<tamsel::platform::MemoryBundle> bundle_ =
        std::make_shared<tamsel::platform::MemoryBundle>();
    std::shared_ptr<MemoryKeychain> keychain_ = std::make_shared<MemoryKeychain>();
    tamsel::platform::Platform platform_;
    ScopedRecordingLog log_;
};

TEST_F(SharedAuthority, LoadsTheStoredCredentialWithTheSharedQuery) {
    storeItem(storedJson().dump());
    NotificationWorkerCredential credential = NotificationSharedAuthority::load(platform_);

    EXPECT_EQ(credential.receiverID, "receiver_0123456789");
    EXPECT_EQ(credential.refreshProof, kProof);
    EXPECT_EQ(credential.authorizationRevision, "17");
    EXPECT_EQ(credential.expiresAt, tamsel::platform::TimePoint(kReferenceDate + 800'000'000s + 250ms));
    EXPECT_TRUE(log_.lines().empty());

    using namespace tamsel::platform;
    const KeychainQuery expected = {{kSecClass, kSecClassGenericPassword},
                                    {kSecUseDataProtectionKeychain, true},
                                    {kSecUseAuthenticationUI, kSecUseAuthenticationUIFail},
                                    {kSecAttrAccessGroup, kGroup},
                                    {kSecAttrService, kService},
                                    {kSecAttrAccount, kAccount},
                                    {kSecReturnData, true},
                                    {kSecMatchLimit, kSecMatchLimitOne}};
    ASSERT_EQ(keychain_->queries().size(), 1u);
    EXPECT_EQ(keychain_->queries()[0], expected);
}

TEST_F(SharedAuthority, ReadsAnewEveryTime) {
    storeItem(storedJson().dump());
    auto first = NotificationSharedAuthority::load(platform_);
    Json replaced = storedJson();
    replaced["authorizationRevision"] = "18";
    storeItem(replaced.dump());
    auto second = NotificationSharedAuthority::load(platform_);
    EXPECT_NE(first, second);
    EXPECT_EQ(second.authorizationRevision, "18");
}

TEST_F(SharedAuthority, IgnoresExtraKeysAndReturnsAnExpiredCredentialUnchanged) {
    Json stored = storedJson();
    stored["deviceName"] = "laptop";
    stored["expiresAt"] = -1.5;  // long gone: refusing it is the worker's job
    storeItem(stored.dump());
    auto credential = NotificationSharedAuthority::load(platform_);
    EXPECT_EQ(credential.expiresAt, tamsel::platform::TimePoint(kReferenceDate - 1500ms));
}

// A bad group setting stops the load before any lookup; a lookup that fails is
// logged with its status, one that returns no bytes is not logged at all.
TEST_F(SharedAuthority, EveryFailedLoadIsACredentialFailureWithItsReasonLogged) {
    auto group = [&](std::optional<PropertyValue> value) {
        return [this, value] {
            storeItem(storedJson().dump());
            if (value)
                bundle_->set("TAMSEL_NOTIFICATION_KEYCHAIN_GROUP", *value);
            else
                bundle_->erase("TAMSEL_NOTIFICATION_KEYCHAIN_GROUP");
        };
    };
    const std::string invalid = "shared_keychain_configuration_invalid";
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::optional<std::string> event;  // nothing: no log line
    };
    const Case cases[] = {
        {"group setting missing", group(std::nullopt), invalid},
        {"group setting a number", group(PropertyValue{std::int64_t{42}}), invalid},
        {"group setting a dictionary", group(PropertyValue{tamsel::platform::PropertyDictionary{}}), invalid},
        {"group setting empty", group(PropertyValue{std::string()}), invalid},
        {"group setting an unexpanded build setting",
         group(PropertyValue{std::string("$(AppIdentifierPrefix)com.brindaxel.tamsel")}), invalid},
        {"group setting with a build setting inside", group(PropertyValue{std::string("ABC.$(TEAM)")}),
         invalid},
        {"no item stored yet", [] {}, "shared_keychain_failed operation=load status=-25300"},
        {"an item that needs the user",
         [&] {
             storeItem(storedJson().dump());
             keychain_->requireInteraction(kGroup, kService, kAccount);
         },
         "shared_keychain_failed operation=load status=-25308"},
        {"a parameter error", [&] { keychain_->failNextLookup(tamsel::platform::kErrSecParam); },
         "shared_keychain_failed operation=load status=-50"},
        {"any other status", [&] { keychain_->failNextLookup(-34018); },
         "shared_keychain_failed operation=load status=-34018"},
        {"a positive status", [&] { keychain_->failNextLookup(1); },
         "shared_keychain_failed operation=load status=1"},
        {"a lookup without bytes", [&] { keychain_->succeedNextLookupWithoutData(); }, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        keychain_ = std::make_shared<MemoryKeychain>();
        platform_.keychain = keychain_;
        bundle_->set("TAMSEL_NOTIFICATION_KEYCHAIN_GROUP", PropertyValue{kGroup});
        log_.sink().clear();
        c.arrange();
        EXPECT_EQ(thrown<NotificationDeliveryFailure>([&] { NotificationSharedAuthority::load(platform_); },
                                                      [](const auto& failure) { return failure; }),
                  NotificationDeliveryFailure::credential());
        if (!c.event) {
            EXPECT_TRUE(log_.lines().empty());
            continue;
        }
        EXPECT_EQ(log_.lines(), std::vector<std::string>{"error notification-authority " + *c.event});
        EXPECT_EQ(log_.sink().records().at(0).subsystem, "com.brindaxel.tamsel");
        if (*c.event == invalid) {
            EXPECT_TRUE(keychain_->queries().empty());
        }
    }
}

TEST_F(SharedAuthority, AnUndecodableItemThrowsTheDecodersOwnErrorAndLogsNothing) {
    auto without = [](const char* key) {
        Json j = storedJson();
        j.erase(key);
        return j.dump();
    };
    auto with = [](const char* key, Json value) {
        Json j = storedJson();
        j[key] = std::move(value);
        return j.dump();
    };
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"not JSON", "receiver_0123456789"},
        {"empty", ""},
        {"invalid UTF-8", "{\"receiverID\":\"\xff\"}"},
        {"an array", "[]"},
        {"a bare string", "\"receiver\""},
        {"no receiverID", without("receiverID")},
        {"no refreshProof", without("refreshProof")},
        {"no authorizationRevision", without("authorizationRevision")},
        {"no expiresAt", without("expiresAt")},
        {"a null refreshProof", with("refreshProof", nullptr)},
        {"a numeric authorizationRevision", with("authorizationRevision", 17)},
        {"expiresAt as ISO 8601 text", with("expiresAt", "2030-01-01T00:00:00Z")},
        {"expiresAt as a boolean", with("expiresAt", true)},
        {"expiresAt null", with("expiresAt", nullptr)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        storeItem(c.bytes);
        EXPECT_THROW(NotificationSharedAuthority::load(platform_), Json::exception);
    }
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(SharedAuthority, NothingOfTheCredentialReachesTheLog) {
    storeItem("{\"refreshProof\":\"" + kProof + "\" truncated");
    EXPECT_THROW(NotificationSharedAuthority::load(platform_), Json::parse_error);
    keychain_->failNextLookup(tamsel::platform::kErrSecItemNotFound);
    EXPECT_THROW(NotificationSharedAuthority::load(platform_), NotificationDeliveryFailure);
    for (const auto& line : log_.lines()) EXPECT_EQ(line.find("proof_"), std::string::npos) << line;
}

TEST(NotificationWorkerCredential, EncodesTheStoredFormAndDecodesItBack) {
    NotificationWorkerCredential credential{
        "receiver_0123456789", kProof, "12345678901234567890",
        tamsel::platform::TimePoint(kReferenceDate + 812'345'678s + 500ms)};
    Json encoded = Json::parse(credential.encode());
    EXPECT_EQ(encoded.size(), 4u);
    EXPECT_TRUE(encoded["expiresAt"].is_number());
    EXPECT_DOUBLE_EQ(encoded["expiresAt"].get<double>(), 812'345'678.5);
    EXPECT_EQ(NotificationWorkerCredential::decode(credential.encode()), credential);

    // Integers and far-off instants are numbers too.
    Json whole = storedJson();
    whole["expiresAt"] = 0;
    EXPECT_EQ(NotificationWorkerCredential::decode(whole.dump()).expiresAt,
              tamsel::platform::TimePoint(kReferenceDate));
    whole["expiresAt"] = 1e300;
    EXPECT_EQ(NotificationWorkerCredential::decode(whole.dump()).expiresAt,
              tamsel::platform::TimePoint::max());
    whole["expiresAt"] = -1e300;
    EXPECT_EQ(NotificationWorkerCredential::decode(whole.dump()).expiresAt,
              tamsel::platform::TimePoint::min());
}

TEST(NotificationWorkerCredential, EqualOnlyWhenAllFourFieldsAre) {
    const NotificationWorkerCredential base{"r", "p", "1", tamsel::platform::TimePoint(kReferenceDate)};
    auto changed = [&](auto mutate) {
        NotificationWorkerCredential c = base;
        mutate(c);
        return c;
    };
    EXPECT_EQ(base, changed([](auto&) {}));
    EXPECT_NE(base, changed([](auto& c) { c.receiverID = "R"; }));
    EXPECT_NE(base, changed([](auto& c) { c.refreshProof = "q"; }));
    EXPECT_NE(base, changed([](auto& c) { c.authorizationRevision = "01"; }));
    EXPECT_NE(base, changed([](auto& c) { c.expiresAt += 1ns; }));
}

TEST(SharedAuthorityFiles, LoadsWhatTheFileKeychainStored) {
    tamsel::testing::ScratchDirectory scratch;
    const std::filesystem::path& root = scratch.path();
    auto keychain = std::make_shared<tamsel::platform::FileKeychain>(root);
    std::string stored = storedJson().dump();
    ASSERT_EQ(keychain->store(kGroup, kService, kAccount,
                              tamsel::platform::KeychainData(stored.begin(), stored.end())),
              tamsel::platform::kErrSecSuccess);
    tamsel::platform::Platform platform;
    auto bundle = std::make_shared<tamsel::platform::MemoryBundle>();
    bundle->set("TAMSEL_NOTIFICATION_KEYCHAIN_GROUP", PropertyValue{kGroup});
    platform.bundle = bundle;
    platform.keychain = keychain;
    EXPECT_EQ(NotificationSharedAuthority::load(platform).receiverID, "receiver_0123456789");
}

}  // namespace
}  // namespace TamselNotificationService
