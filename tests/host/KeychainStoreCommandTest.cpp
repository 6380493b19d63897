// The host's keychain-store command, run as a real process.
#include <gtest/gtest.h>

#include <sstream>

#include "Services/NotificationSharedAuthority.h"
#include "platform/Bundle.h"
#include "platform/Json.h"
#include "platform/file/FileKeychain.h"
#include "tests/support/HostBundle.h"
#include "tests/support/Process.h"

namespace {

using tamsel::platform::Json;
using tamsel::testing::readText;

const std::string kGroup = "ABCDE12345.com.brindaxel.tamsel.shared";
const std::string kProof = "SECRETproof_proof_proof_proof_proof_proof_p";

class KeychainStoreCommand : public ::testing::Test {
  protected:
    KeychainStoreCommand() { writeBundle(kGroup); }

    void writeBundle(const std::string& group) {
        tamsel::testing::writeHostBundle(dir_ / "bundle", {std::nullopt, group, std::nullopt});
    }

    // Runs the command with `input` on standard input; returns its exit status.
    int run(const std::string& input, const std::string& arguments) {
        std::vector<std::string> argv{tamsel::testing::binaryPath("tamsel-notification-service").string(),
                                      "keychain-store"};
        std::istringstream words(arguments);
        for (std::string word; words >> word;) argv.push_back(word);
        auto result = tamsel::testing::runProcess(argv, input);
        errors_ = result.err;
        return result.exitCode;
    }

    std::string standardArguments() const {
        return "--bundle " + (dir_ / "bundle").string() + " --platform-root " + (dir_ / "root").string();
    }

    std::filesystem::path item() const {
        return dir_ / "root" / "keychain" / kGroup / "Tamsel.notification-delivery.v2" / "receiver";
    }

    tamsel::testing::ScratchDirectory scratch_;
    const std::filesystem::path dir_ = scratch_.path();
    std::string errors_;
};

TEST_F(KeychainStoreCommand, StoresTheCredentialWhereTheExtensionReadsIt) {
    const std::string credential = Json{
        {"receiverID", "receiver_0123456789"},
        {"refreshProof", kProof},
        {"authorizationRevision", "3"},
        {"expiresAt", 900000000.5},
        {"note", "kept as given"}}.dump();
    ASSERT_EQ(run(credential, standardArguments()), 0) << errors_;
    EXPECT_EQ(readText(item()), credential);

    tamsel::platform::Platform platform;
    platform.bundle = std::make_shared<tamsel::platform::PlistBundle>(dir_ / "bundle");
    platform.keychain = std::make_shared<tamsel::platform::FileKeychain>(dir_ / "root");
    auto loaded = TamselNotificationService::NotificationSharedAuthority::load(platform);
    EXPECT_EQ(loaded.refreshProof, kProof);
}

TEST_F(KeychainStoreCommand, RefusesInputThatIsNotACredentialWithoutQuotingIt) {
    const std::string good = Json{
        {"receiverID", "receiver_0123456789"},
        {"refreshProof", kProof},
        {"authorizationRevision", "3"},
        {"expiresAt", 900000000}}.dump();
    ASSERT_EQ(run(good, standardArguments()), 0) << errors_;
    for (const std::string& input :
         std::vector<std::string>{"", "{\"refreshProof\":\"" + kProof + "\" oops", "[\"" + kProof + "\"]",
                                  R"({"receiverID":"r","refreshProof":")" + kProof +
                                      R"(","authorizationRevision":"3","expiresAt":"2030-01-01T00:00:00Z"})",
                                  std::string(70 * 1024, ' ') + good}) {
        SCOPED_TRACE(input.substr(0, 60));
        EXPECT_EQ(run(input, standardArguments()), 1);
        EXPECT_NE(errors_, "");
        EXPECT_EQ(errors_.find("SECRET"), std::string::npos) << errors_;
        EXPECT_EQ(readText(item()), good);  // the stored item is untouched
    }
}

TEST_F(KeychainStoreCommand, RefusesABundleOrArgumentsItCannotUse) {
    const std::string good = Json{
        {"receiverID", "r"},
        {"refreshProof", "p"},
        {"authorizationRevision", "1"},
        {"expiresAt", 1}}.dump();
    EXPECT_EQ(run(good, "--platform-root " + (dir_ / "root").string()), 2);
    EXPECT_EQ(run(good, standardArguments() + " --verbose"), 2);
    EXPECT_EQ(
        run(good, "--bundle " + (dir_ / "missing").string() + " --platform-root " + (dir_ / "root").string()),
        1);
    for (const std::string group : {"", "$(AppIdentifierPrefix)shared", "a/b", ".."}) {
        SCOPED_TRACE(group);
        writeBundle(group);
        EXPECT_EQ(run(good, standardArguments()), 1);
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ / "root" / "keychain" / kGroup));
}

}  // namespace
