// The Secret Service keychain against a real keyring daemon on a private bus:
// the round trip, not found, locked, and a service that is missing or mute.
#include <gtest/gtest.h>

#include <fstream>

#include "Services/NotificationDeliveryFailure.h"
#include "Services/NotificationSharedAuthority.h"
#include "platform/linux/SecretServiceKeychain.h"
#include "platform/testing/RecordingLogSink.h"
#include "tests/desktop/DesktopTestSupport.h"
#include "tests/support/Expect.h"
#include "tests/support/HostBundle.h"

namespace tamsel::testing {
namespace {

using platform::KeychainData;
using platform::KeychainQuery;
using platform::SecretServiceKeychain;

const std::string kGroup = "group.com.brindaxel.tamsel";
const std::string kService = "Tamsel.notification-delivery.v2";

// The lookup the extension makes for its credential.
KeychainQuery lookup(const std::string& group, const std::string& service, const std::string& account) {
    return {{platform::kSecClass, platform::kSecClassGenericPassword},
            {platform::kSecUseDataProtectionKeychain, true},
            {platform::kSecUseAuthenticationUI, platform::kSecUseAuthenticationUIFail},
            {platform::kSecAttrAccessGroup, group},
            {platform::kSecAttrService, service},
            {platform::kSecAttrAccount, account},
            {platform::kSecReturnData, true},
            {platform::kSecMatchLimit, platform::kSecMatchLimitOne}};
}

KeychainData bytes(const std::string& text) { return KeychainData(text.begin(), text.end()); }

// The keychain speaks to the session bus of the process's environment, and
// GLib keeps one connection to it per process: the suite runs one private bus
// and points the environment at it before anything connects. Each test has a
// keyring daemon of its own.
class SecretServiceKeychainTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        bus = new PrivateBus;
        setenv("DBUS_SESSION_BUS_ADDRESS", bus->address().c_str(), 1);
    }
    static void TearDownTestSuite() {
        delete bus;
        bus = nullptr;
    }
    static SecretServiceKeychain keychain(std::chrono::milliseconds limit = 5s) {
        return SecretServiceKeychain({limit});
    }
    static PrivateBus* bus;
};

PrivateBus* SecretServiceKeychainTest::bus = nullptr;

TEST_F(SecretServiceKeychainTest, StoresAndFindsItemsByGroupServiceAndAccount) {
    KeyringDaemon daemon(*bus);
    auto secrets = keychain();
    // Any bytes, not only text: a NUL and bytes that are not UTF-8 included.
    const KeychainData first = {'{', 0x00, 0xff, 0xfe, '}'};
    ASSERT_EQ(secrets.store(kGroup, kService, "receiver", first), platform::kErrSecSuccess);
    ASSERT_EQ(secrets.store(kGroup, kService, "other", bytes("other account")), platform::kErrSecSuccess);

    auto found = keychain().copyMatching(lookup(kGroup, kService, "receiver"));
    EXPECT_EQ(found.status, platform::kErrSecSuccess);
    EXPECT_EQ(found.data, first);

    // Storing again replaces the one item.
    ASSERT_EQ(secrets.store(kGroup, kService, "receiver", bytes(R"({"receiverID":"r"})")),
              platform::kErrSecSuccess);
    found = secrets.copyMatching(lookup(kGroup, kService, "receiver"));
    EXPECT_EQ(found.status, platform::kErrSecSuccess);
    EXPECT_EQ(found.data, bytes(R"({"receiverID":"r"})"));

    struct Row {
        const char* name;
        KeychainQuery query;
    };
    const std::vector<Row> missing = {
        {"another account", lookup(kGroup, kService, "nobody")},
        {"another service", lookup(kGroup, "Tamsel.other", "receiver")},
        {"another access group", lookup("group.other", kService, "receiver")},
    };
    for (const auto& row : missing) {
        SCOPED_TRACE(row.name);
        auto result = secrets.copyMatching(row.query);
        EXPECT_EQ(result.status, platform::kErrSecItemNotFound);
        EXPECT_FALSE(result.data);
    }

    // Asking only whether it exists returns no bytes.
    auto query = lookup(kGroup, kService, "receiver");
    query[platform::kSecReturnData] = false;
    found = secrets.copyMatching(query);
    EXPECT_EQ(found.status, platform::kErrSecSuccess);
    EXPECT_FALSE(found.data);
}

TEST_F(SecretServiceKeychainTest, ALockedKeyringIsRefusedWithoutWaitingForAPerson) {
    KeyringDaemon daemon(*bus);
    auto secrets = keychain(3s);
    ASSERT_EQ(secrets.store(kGroup, kService, "receiver", bytes("secret")), platform::kErrSecSuccess);
    daemon.lockDefaultCollection();

    auto start = std::chrono::steady_clock::now();
    auto result = secrets.copyMatching(lookup(kGroup, kService, "receiver"));
    EXPECT_EQ(result.status, platform::kErrSecInteractionNotAllowed);
    EXPECT_FALSE(result.data);
    EXPECT_EQ(secrets.store(kGroup, kService, "receiver", bytes("new")),
              platform::kErrSecInteractionNotAllowed);
    // Refused at once, not after a prompt ran into the time limit.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    // Absent stays absent, locked or not.
    EXPECT_EQ(secrets.copyMatching(lookup(kGroup, kService, "nobody")).status, platform::kErrSecItemNotFound);
}

TEST_F(SecretServiceKeychainTest, AMissingOrMuteServiceIsUnavailableWithinTheLimit) {
    {
        SCOPED_TRACE("nothing on the bus");
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(keychain().copyMatching(lookup(kGroup, kService, "receiver")).status,
                  SecretServiceKeychain::kServiceUnavailable);
        EXPECT_EQ(keychain().store(kGroup, kService, "receiver", bytes("x")),
                  SecretServiceKeychain::kServiceUnavailable);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    }
    {
        SCOPED_TRACE("a service that never answers");
        BusClient mute(bus->address());
        ASSERT_GE(sd_bus_request_name(mute.get(), "org.freedesktop.secrets", 0), 0);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(keychain(300ms).copyMatching(lookup(kGroup, kService, "receiver")).status,
                  SecretServiceKeychain::kServiceUnavailable);
        auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, 250ms);
        EXPECT_LT(elapsed, 3s);
    }
}

TEST_F(SecretServiceKeychainTest, QueriesAndAttributesItCannotAnswerAreRefusedBeforeTheBus) {
    // No service runs: a refusal here comes from the checks, not from the bus.
    auto secrets = keychain();
    auto noAccount = lookup(kGroup, kService, "receiver");
    noAccount.erase(platform::kSecAttrAccount);
    auto unknownAttribute = lookup(kGroup, kService, "receiver");
    unknownAttribute["label"] = std::string("x");
    EXPECT_EQ(secrets.copyMatching(noAccount).status, platform::kErrSecParam);
    EXPECT_EQ(secrets.copyMatching(unknownAttribute).status, platform::kErrSecParam);
    EXPECT_EQ(secrets.store("", kService, "receiver", bytes("x")), platform::kErrSecParam);
    EXPECT_EQ(secrets.store(kGroup, std::string("a\0b", 3), "receiver", bytes("x")), platform::kErrSecParam);
    EXPECT_EQ(secrets.store(kGroup, kService, "\xff", bytes("x")), platform::kErrSecParam);
}

// The credential as the main application stores it; expiresAt counts seconds since 2001.
const std::string kCredential =
    R"({"receiverID":"receiver_0123456789abcdef","refreshProof":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",)"
    R"("authorizationRevision":"12","expiresAt":1000000000.5})";

// The host's command and the extension's load, on the same bus as the suite
// (GLib's one connection per process stays valid).
class CredentialStore {
  public:
    explicit CredentialStore(PrivateBus& bus) : bus_(bus) {
        writeHostBundle(dir.path() / "bundle", {std::nullopt, kGroup, std::nullopt});
    }

    // The host's keychain-store command on the suite's bus; its exit status and stderr in `log`.
    int storeWithHost(const std::string& input) {
        std::filesystem::remove(log);
        ChildProcess host({{binaryPath("tamsel-notification-service").string(), "keychain-store", "--bundle",
                            (dir.path() / "bundle").string(), "--platform-root",
                            (dir.path() / "root").string(), "--keychain", "secret-service"},
                           bus_.environment(),
                           input,
                           false,
                           log});
        auto status = host.wait(60s);
        if (!status) ADD_FAILURE() << "keychain-store did not finish within 60 s";
        return status.value_or(-1);
    }

    std::string logText() {
        std::ifstream in(log);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    ScratchDirectory dir;
    std::filesystem::path log = dir.path() / "keychain-store.log";

  private:
    PrivateBus& bus_;
};

TEST_F(SecretServiceKeychainTest, TheHostStoresTheCredentialThatTheExtensionThenLoads) {
    KeyringDaemon daemon(*bus);
    CredentialStore store(*bus);
    auto& dir = store.dir;
    ASSERT_EQ(store.storeWithHost(kCredential), 0) << store.logText();
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "root/keychain"))
        << "nothing goes to the file keychain";

    platform::Platform platform;
    platform.bundle = std::make_shared<platform::PlistBundle>(dir.path() / "bundle");
    platform.keychain = std::make_shared<SecretServiceKeychain>();
    auto credential = TamselNotificationService::NotificationSharedAuthority::load(platform);
    EXPECT_EQ(credential, TamselNotificationService::NotificationWorkerCredential::decode(kCredential));
}

TEST_F(SecretServiceKeychainTest, ALockedOrMissingKeyringIsAStatusAndNeverShowsTheSecret) {
    CredentialStore store(*bus);
    auto& dir = store.dir;
    {
        SCOPED_TRACE("no Secret Service on the bus");
        EXPECT_EQ(store.storeWithHost(kCredential), 1);
        EXPECT_NE(store.logText().find("-25291"), std::string::npos) << store.logText();
    }
    KeyringDaemon daemon(*bus);
    daemon.lockDefaultCollection();
    {
        SCOPED_TRACE("a locked keyring");
        EXPECT_EQ(store.storeWithHost(kCredential), 1);
        EXPECT_NE(store.logText().find("-25308"), std::string::npos) << store.logText();
        EXPECT_EQ(store.logText().find("AAAAAAAA"), std::string::npos) << "the proof never reaches a message";
    }
    // The extension's load of a locked item: the refusal is logged with its status.
    platform::testing::ScopedRecordingLog recording;
    platform::Platform platform;
    platform.bundle = std::make_shared<platform::PlistBundle>(dir.path() / "bundle");
    platform.keychain = std::make_shared<SecretServiceKeychain>();
    // No credential from a keyring that holds none.
    using TamselNotificationService::NotificationDeliveryFailure;
    EXPECT_EQ(thrown<NotificationDeliveryFailure>(
                  [&] { TamselNotificationService::NotificationSharedAuthority::load(platform); },
                  [](const auto& failure) { return failure; }),
              NotificationDeliveryFailure::credential());
    EXPECT_EQ(recording.messages(),
              (std::vector<std::string>{"shared_keychain_failed operation=load status=-25300"}));
}

}  // namespace
}  // namespace tamsel::testing
