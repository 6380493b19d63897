// The host as a process: push lines in, contents and log lines out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/Json.h"
#include "tests/support/HostBundle.h"
#include "tests/support/HostEvents.h"
#include "tests/support/Process.h"

namespace tamsel::testing {
namespace {

using platform::Json;

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override { writeBundle("https://127.0.0.1:9/"); }

    void writeBundle(const std::string& baseURL) {
        writeHostBundle(dir.path() / "bundle", {baseURL, "group.tamsel.test", std::nullopt});
    }

    ProcessResult host(const std::string& input, std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {binaryPath("tamsel-notification-service").string(), "--bundle",
                                         (dir.path() / "bundle").string(), "--platform-root",
                                         (dir.path() / "root").string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return runProcess(argv, input);
    }

    ScratchDirectory dir;
};

TEST_F(HostTest, AnOrdinaryPushComesBackUnchanged) {
    Json content = {{"title", "Hello"},
                    {"body", "b"},
                    {"sound", "default"},
                    {"badge", 2},
                    {"userInfo", {{"aps", {{"alert", "x"}}}, {"n", nullptr}}}};
    auto result = host(Json{{"identifier", "p1"}, {"content", content}}.dump() + "\n");
    EXPECT_EQ(result.exitCode, 0) << result.err;
    auto lines = splitLines(result.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Json::parse(lines[0]), (Json{{"request", "p1"}, {"content", content}}));
    EXPECT_EQ(logMessages(result.err),
              (std::vector<std::string>{"extension_request_received", "extension_request_rejected"}));
    for (const auto& line : splitLines(result.err)) {
        Json json = Json::parse(line);
        EXPECT_EQ(json["subsystem"], "com.brindaxel.tamsel");
        EXPECT_EQ(json["category"], "notification-extension");
    }
}

TEST_F(HostTest, ABadLineIsReportedAndTheNextLinesAreStillServed) {
    // The host and its notify command read lines with one parser: an extra
    // member is refused as well as a missing one.
    std::string input =
        "not json\n{\"identifier\":\"p0\"}\n{\"identifier\":\"p1\",\"content\":{},\"x\":1}\n" +
        Json{{"identifier", "p2"}, {"content", {{"title", "x"}}}}.dump() + "\n";
    auto result = host(input);
    EXPECT_NE(result.exitCode, 0);
    auto lines = splitLines(result.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Json::parse(lines[0])["request"], "p2");
    int errors = 0;
    for (const auto& line : splitLines(result.err)) errors += Json::parse(line).contains("error");
    EXPECT_EQ(errors, 3);
}

TEST_F(HostTest, AnOverlongOrTooDeepLineIsRefusedWithoutHoldingItAndTheNextIsServed) {
    const std::string valid = Json{{"identifier", "p2"}, {"content", {{"title", "x"}}}}.dump() + "\n";
    const auto normal = host(valid);
    ASSERT_EQ(normal.exitCode, 0) << normal.err;

    // Written in pieces so that neither this process nor (through fork) the
    // host starts out with the line in memory: the host's peak counts alone.
    {
        std::ofstream push(dir.path() / "push.jsonl", std::ios::binary);
        push << "{\"identifier\":";
        const std::string piece(1 << 20, ' ');
        for (int i = 0; i < 64; ++i) push << piece;
        push << "\n" << valid;
    }
    auto result = host("", {"--push", (dir.path() / "push.jsonl").string()});
    EXPECT_EQ(result.exitCode, 1);
    auto lines = splitLines(result.out);
    ASSERT_EQ(lines.size(), 1u) << result.err;
    EXPECT_EQ(Json::parse(lines[0])["request"], "p2");
    EXPECT_NE(result.err.find("line 1 is not a push request: longer than 65536 bytes"), std::string::npos)
        << result.err.substr(0, 500);
    // The refused line is skipped, not read into memory.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // A sanitizer's shadow memory adds tens of MiB to any run: there only the
    // difference to a normal run means something.
    EXPECT_LT(result.peakRssKiB, 40 * 1024);
#endif
    EXPECT_LT(result.peakRssKiB, normal.peakRssKiB + 8 * 1024);

    auto nested = [](int depth) {
        return R"({"identifier":"d","content":{"userInfo":{"a":)" + std::string(depth, '[') +
               std::string(depth, ']') + "}}}\n";
    };
    result = host(nested(1000) + nested(400000) + valid);
    EXPECT_EQ(result.exitCode, 1);
    lines = splitLines(result.out);
    ASSERT_EQ(lines.size(), 1u) << result.err;
    EXPECT_EQ(Json::parse(lines[0])["request"], "p2");
    EXPECT_NE(result.err.find("line 1 is not a push request: not valid JSON"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("line 2 is not a push request: longer than"), std::string::npos) << result.err;
}

TEST_F(HostTest, ARelativeDataHomeIsIgnoredForTheHomeDirectory) {
    const std::string relative = "tamsel-relative-" + std::to_string(::getpid());
    Json credential = {
        {"receiverID", "r"}, {"refreshProof", "p"}, {"authorizationRevision", "1"}, {"expiresAt", 1}};
    auto result =
        runProcess({"/usr/bin/env", "XDG_DATA_HOME=" + relative, "HOME=" + (dir.path() / "home").string(),
                    binaryPath("tamsel-notification-service").string(), "keychain-store", "--bundle",
                    (dir.path() / "bundle").string()},
                   credential.dump());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(
        std::filesystem::exists(dir.path() / "home/.local/share/tamsel-notification-service/keychain"));
    EXPECT_FALSE(std::filesystem::exists(relative));
}

TEST_F(HostTest, RefusesToStartWithoutABundle) {
    auto result = runProcess(
        {binaryPath("tamsel-notification-service").string(), "--bundle", (dir.path() / "nowhere").string()},
        "");
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(result.out.empty());
}

}  // namespace
}  // namespace tamsel::testing
