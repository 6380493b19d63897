// The file-backed keychain in a real temporary directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>

#include "platform/file/FileKeychain.h"
#include "tests/support/ScratchDirectory.h"

namespace tamsel::platform {
namespace {

const std::string kGroup = "GROUP123.com.example.shared";
const std::string kService = "Tamsel.notification-delivery.v2";
const std::string kAccount = "receiver";

KeychainQuery lookup(const std::string& group = kGroup, const std::string& service = kService,
                     const std::string& account = kAccount) {
    return {{kSecClass, kSecClassGenericPassword},
            {kSecUseDataProtectionKeychain, true},
            {kSecUseAuthenticationUI, kSecUseAuthenticationUIFail},
            {kSecAttrAccessGroup, group},
            {kSecAttrService, service},
            {kSecAttrAccount, account},
            {kSecReturnData, true},
            {kSecMatchLimit, kSecMatchLimitOne}};
}

KeychainData bytes(const std::string& text) { return KeychainData(text.begin(), text.end()); }

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

class FileKeychainTest : public ::testing::Test {
  protected:
    tamsel::testing::ScratchDirectory scratch_;
    const std::filesystem::path root_ = scratch_.path();
};

TEST_F(FileKeychainTest, StoredItemsOutliveTheInstanceAndArePrivate) {
    const mode_t previous = ::umask(0);  // the modes must not depend on the caller's umask
    EXPECT_EQ(FileKeychain(root_).store(kGroup, kService, kAccount, bytes("first")), kErrSecSuccess);
    EXPECT_EQ(FileKeychain(root_).store(kGroup, kService, kAccount, bytes("second")), kErrSecSuccess);
    ::umask(previous);

    KeychainResult result = FileKeychain(root_).copyMatching(lookup());
    EXPECT_EQ(result.status, kErrSecSuccess);
    EXPECT_EQ(result.data, bytes("second"));

    const auto dir = root_ / "keychain";
    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(modeOf(dir / kGroup), 0700u);
    EXPECT_EQ(modeOf(dir / kGroup / kService), 0700u);
    EXPECT_EQ(modeOf(dir / kGroup / kService / kAccount), 0600u);
    // The replaced item left no temporary file behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / kGroup / kService),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(FileKeychainTest, KeepsBytesExactly) {
    KeychainData binary = {0, 1, 0xff, '\n', 0, 0x80};
    FileKeychain keychain(root_);
    ASSERT_EQ(keychain.store(kGroup, kService, kAccount, binary), kErrSecSuccess);
    EXPECT_EQ(keychain.copyMatching(lookup()).data, binary);
    ASSERT_EQ(keychain.store(kGroup, kService, kAccount, {}), kErrSecSuccess);
    KeychainResult empty = keychain.copyMatching(lookup());
    EXPECT_EQ(empty.status, kErrSecSuccess);
    EXPECT_EQ(empty.data, KeychainData());
}

// One instance serves a whole run and keeps what it read; an item changed in
// any way since must be read again, even when its size and modification time
// are what they were.
TEST_F(FileKeychainTest, AnItemChangedSinceTheLastReadIsReadAgain) {
    const auto item = root_ / "keychain" / kGroup / kService / kAccount;
    auto rewriteInPlace = [&](const std::string& text) {
        struct stat before {};
        ASSERT_EQ(::stat(item.c_str(), &before), 0);
        std::ofstream(item, std::ios::binary | std::ios::trunc) << text;
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, item.c_str(), times, 0), 0);
    };
    struct Row {
        const char* name;
        std::function<void(FileKeychain&)> change;
        KeychainStatus status;
        std::optional<KeychainData> data;
    };
    const Row rows[] = {
        {"replaced by store()", [&](FileKeychain& k) { k.store(kGroup, kService, kAccount, bytes("fresh")); },
         kErrSecSuccess, bytes("fresh")},
        {"replaced by another instance",
         [&](FileKeychain&) { FileKeychain(root_).store(kGroup, kService, kAccount, bytes("other")); },
         kErrSecSuccess, bytes("other")},
        {"rewritten in place, same size, same modification time",
         [&](FileKeychain&) { rewriteInPlace("stalf"); }, kErrSecSuccess, bytes("stalf")},
        {"made unreadable",
         [&](FileKeychain&) { std::filesystem::permissions(item, std::filesystem::perms::none); },
         kErrSecInteractionNotAllowed, std::nullopt},
        {"removed", [&](FileKeychain&) { std::filesystem::remove(item); }, kErrSecItemNotFound, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.status == kErrSecInteractionNotAllowed && ::geteuid() == 0) continue;  // root reads anyway
        FileKeychain keychain(root_);
        ASSERT_EQ(keychain.store(kGroup, kService, kAccount, bytes("stale")), kErrSecSuccess);
        ASSERT_EQ(keychain.copyMatching(lookup()).data, bytes("stale"));
        ASSERT_EQ(keychain.copyMatching(lookup()).data, bytes("stale"));
        row.change(keychain);
        KeychainResult result = keychain.copyMatching(lookup());
        EXPECT_EQ(result.status, row.status);
        EXPECT_EQ(result.data, row.data);
        std::filesystem::remove_all(root_ / "keychain");
    }
}

TEST_F(FileKeychainTest, ItemsAreKeyedByGroupServiceAndAccount) {
    FileKeychain keychain(root_);
    ASSERT_EQ(keychain.store(kGroup, kService, kAccount, bytes("x")), kErrSecSuccess);
    EXPECT_EQ(keychain.copyMatching(lookup("OTHER.group")).status, kErrSecItemNotFound);
    EXPECT_EQ(keychain.copyMatching(lookup(kGroup, "Tamsel.notification-delivery.v1")).status,
              kErrSecItemNotFound);
    EXPECT_EQ(keychain.copyMatching(lookup(kGroup, kService, "sender")).status, kErrSecItemNotFound);
    EXPECT_EQ(FileKeychain(root_ / "nowhere").copyMatching(lookup()).status, kErrSecItemNotFound);
}

TEST_F(FileKeychainTest, RefusesAttributesThatWouldBePaths) {
    // A file that a traversal would reach if an attribute were used as a path.
    std::filesystem::create_directories(root_ / "keychain");
    std::ofstream(root_ / "escape") << "outside";
    FileKeychain keychain(root_);
    for (const std::string& bad :
         std::vector<std::string>{"", ".", "..", "a/b", "/", "../escape", std::string("a\0b", 3)}) {
        for (int position = 0; position < 3; ++position) {
            SCOPED_TRACE("attribute " + std::to_string(position) + " = \"" + bad + "\"");
            std::string group = position == 0 ? bad : kGroup;
            std::string service = position == 1 ? bad : kService;
            std::string account = position == 2 ? bad : kAccount;
            EXPECT_EQ(keychain.store(group, service, account, bytes("x")), kErrSecParam);
            EXPECT_EQ(keychain.copyMatching(lookup(group, service, account)).status, kErrSecParam);
        }
    }
    EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(root_ / "keychain"),
                            std::filesystem::recursive_directory_iterator()),
              0);
}

TEST_F(FileKeychainTest, AnswersOnlyTheLookupsItUnderstands) {
    FileKeychain keychain(root_);
    ASSERT_EQ(keychain.store(kGroup, kService, kAccount, bytes("x")), kErrSecSuccess);
    struct Case {
        const char* name;
        std::function<void(KeychainQuery&)> change;
        KeychainStatus status;
        bool data;
    };
    const Case cases[] = {
        {"the full lookup", [](KeychainQuery&) {}, kErrSecSuccess, true},
        {"no data asked for", [](KeychainQuery& q) { q.erase(kSecReturnData); }, kErrSecSuccess, false},
        {"data refused", [](KeychainQuery& q) { q[kSecReturnData] = false; }, kErrSecSuccess, false},
        {"no match limit", [](KeychainQuery& q) { q.erase(kSecMatchLimit); }, kErrSecSuccess, true},
        {"another class", [](KeychainQuery& q) { q[kSecClass] = std::string("internet-password"); },
         kErrSecParam, false},
        {"no class", [](KeychainQuery& q) { q.erase(kSecClass); }, kErrSecParam, false},
        {"no account", [](KeychainQuery& q) { q.erase(kSecAttrAccount); }, kErrSecParam, false},
        {"an account that is not text", [](KeychainQuery& q) { q[kSecAttrAccount] = true; }, kErrSecParam,
         false},
        {"all matches", [](KeychainQuery& q) { q[kSecMatchLimit] = std::string("all"); }, kErrSecParam,
         false},
        {"an unknown attribute", [](KeychainQuery& q) { q["label"] = std::string("x"); }, kErrSecParam,
         false},
        {"the legacy keychain", [](KeychainQuery& q) { q[kSecUseDataProtectionKeychain] = false; },
         kErrSecItemNotFound, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KeychainQuery query = lookup();
        c.change(query);
        KeychainResult result = keychain.copyMatching(query);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.data.has_value(), c.data);
    }
}

TEST_F(FileKeychainTest, SomethingElseInTheItemsPlaceIsAReadFailure) {
    FileKeychain keychain(root_);
    std::filesystem::create_directories(root_ / "keychain" / kGroup / kService / kAccount);
    EXPECT_EQ(keychain.copyMatching(lookup()).status, kErrSecIO);
    std::filesystem::remove(root_ / "keychain" / kGroup / kService / kAccount);
    std::ofstream(root_ / "elsewhere") << "{}";
    std::filesystem::create_symlink(root_ / "elsewhere", root_ / "keychain" / kGroup / kService / kAccount);
    EXPECT_EQ(keychain.copyMatching(lookup()).status, kErrSecIO);
}

}  // namespace
}  // namespace tamsel::platform
