// The installed defaults file: what an administrator may write, and the clear
// refusals for what they may not.
#include <gtest/gtest.h>

#include <fstream>

#include "host/InstalledDefaults.h"
#include "tests/support/ScratchDirectory.h"

namespace {

using tamsel::host::HostOptions;
using tamsel::host::InstalledDefaultsError;
using tamsel::host::parseInstalledDefaults;

const std::filesystem::path kFile = "/usr/share/tamsel-notification-service/defaults.json";

TEST(InstalledDefaults, AValidFileSetsEveryOption) {
    auto defaults = parseInstalledDefaults(R"({"bundle": "/usr/share/t/bundle", "platformRoot": "/var/t",
        "caFile": "/etc/t/ca.pem", "notifications": "file", "keychain": "file", "log": "stderr",
        "timeBudget": 12.5, "appId": "org.example.Chat"})",
                                           kFile);
    HostOptions options;
    defaults.applyTo(options);
    EXPECT_EQ(options.bundle, "/usr/share/t/bundle");
    EXPECT_EQ(options.platformRoot, "/var/t");
    EXPECT_EQ(options.caFile, std::filesystem::path("/etc/t/ca.pem"));
    EXPECT_EQ(options.notifications, HostOptions::Notifications::file);
    EXPECT_EQ(options.keychain, HostOptions::Keychain::file);
    EXPECT_EQ(options.log, HostOptions::Log::stderrJson);
    EXPECT_EQ(options.timeBudgetSeconds, 12.5);
    EXPECT_EQ(options.appId, "org.example.Chat");
    // Subcommands get only the flags they take, ahead of the user's own.
    EXPECT_EQ(defaults.asArguments({"--bundle", "--keychain"}),
              (std::vector<std::string>{"--bundle", "/usr/share/t/bundle", "--keychain", "file"}));
}

TEST(InstalledDefaults, AnEmptyObjectChangesNothing) {
    HostOptions options, untouched;
    parseInstalledDefaults("{}", kFile).applyTo(options);
    EXPECT_EQ(options.bundle, untouched.bundle);
    EXPECT_EQ(options.appId, untouched.appId);
    EXPECT_EQ(options.timeBudgetSeconds, untouched.timeBudgetSeconds);
    EXPECT_FALSE(options.caFile);
}

TEST(InstalledDefaults, BadFilesAreRefusedNamingTheFileAndMember) {
    struct Case {
        const char* text;
        const char* named;  // the member (or problem) the message must name
    };
    for (const Case& c : std::vector<Case>{
             {R"({"bundel": "/b"})", "\"bundel\""},
             {R"({"bundle": "share/bundle"})", "\"bundle\""},
             {R"({"platformRoot": "./root"})", "\"platformRoot\""},
             {R"({"caFile": ""})", "\"caFile\""},
             {R"({"bundle": 7})", "\"bundle\""},
             {R"({"notifications": "dbus"})", "\"notifications\""},
             {R"({"keychain": true})", "\"keychain\""},
             {R"({"log": "syslog"})", "\"log\""},
             {R"({"timeBudget": "30"})", "\"timeBudget\""},
             {R"({"timeBudget": 0})", "\"timeBudget\""},
             {R"({"timeBudget": 3601})", "\"timeBudget\""},
             {R"({"appId": "tamsel"})", "\"appId\""},
             {R"({"appId": "com.brindaxel.9tamsel"})", "\"appId\""},
             {R"(["bundle"])", "JSON object"},
             {R"({"bundle": "/b",})", "not valid JSON"},
         }) {
        SCOPED_TRACE(c.text);
        try {
            parseInstalledDefaults(c.text, kFile);
            ADD_FAILURE() << "accepted";
        } catch (const InstalledDefaultsError& e) {
            std::string message = e.what();
            EXPECT_NE(message.find(kFile.string()), std::string::npos) << message;
            EXPECT_NE(message.find(c.named), std::string::npos) << message;
        }
    }
}

TEST(InstalledDefaults, OnlyAnExistingFileIsRead) {
    tamsel::testing::ScratchDirectory dir;
    EXPECT_FALSE(tamsel::host::loadInstalledDefaults(dir.path() / "defaults.json"));
    std::ofstream(dir.path() / "defaults.json") << R"({"appId": "org.example.Chat"})";
    auto defaults = tamsel::host::loadInstalledDefaults(dir.path() / "defaults.json");
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->appId, "org.example.Chat");
    std::ofstream(dir.path() / "defaults.json") << "{";
    EXPECT_THROW(tamsel::host::loadInstalledDefaults(dir.path() / "defaults.json"), InstalledDefaultsError);
}

}  // namespace
