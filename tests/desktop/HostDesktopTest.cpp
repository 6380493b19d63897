// The host with the desktop backends chosen by its flags: log records in the
// journal (a journal socket of the test's own, bound into a private mount
// namespace of the host), the automatic choice through JOURNAL_STREAM, and the
// refusals of flags and bundles the desktop cannot serve.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "platform/Json.h"
#include "tests/desktop/DesktopTestSupport.h"
#include "tests/desktop/HostProgramFixture.h"
#include "tests/support/HostEvents.h"

namespace tamsel::testing {
namespace {

using platform::Json;

// Reads one datagram of the journal's native protocol: "NAME=value\n", or for
// values with a line break "NAME\n" + 64-bit little-endian length + value + "\n".
std::map<std::string, std::string> journalFields(const std::string& datagram) {
    std::map<std::string, std::string> fields;
    std::size_t at = 0;
    while (at < datagram.size()) {
        std::size_t end = datagram.find_first_of("=\n", at);
        if (end == std::string::npos) throw std::runtime_error("truncated journal entry");
        std::string name = datagram.substr(at, end - at);
        if (datagram[end] == '=') {
            std::size_t newline = datagram.find('\n', end);
            fields[name] = datagram.substr(end + 1, newline - end - 1);
            at = newline + 1;
        } else {
            std::uint64_t size = 0;
            std::memcpy(&size, datagram.data() + end + 1, 8);
            fields[name] = datagram.substr(end + 9, size);
            at = end + 9 + size + 1;
        }
    }
    return fields;
}

class HostDesktopTest : public HostProgramTest {
  protected:
    void SetUp() override {
        HostProgramTest::SetUp();
        std::filesystem::create_directories(dir.path() / "journal");
        journal = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path = (dir.path() / "journal/socket").string();
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(bind(journal, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    void TearDown() override { close(journal); }

    // How to run a command in a mount namespace of its own: as root directly, else in an
    // unprivileged user namespace; nothing where neither is allowed (the tests that need
    // one are then skipped, saying why).
    static const std::optional<std::vector<std::string>>& mountNamespace() {
        static const std::optional<std::vector<std::string>> prefix =
            []() -> std::optional<std::vector<std::string>> {
            if (::geteuid() == 0) return std::vector<std::string>{"/usr/bin/unshare", "--mount"};
            std::vector<std::string> user = {"/usr/bin/unshare", "--user", "--map-root-user", "--mount"};
            std::string probe;
            for (const auto& word : user) probe += word + " ";
            if (std::system((probe + "/bin/true >/dev/null 2>&1").c_str()) == 0) return user;
            return std::nullopt;
        }();
        return prefix;
    }
#define TAMSEL_NEEDS_MOUNT_NAMESPACE()                                                             \
    if (!mountNamespace())                                                                         \
    GTEST_SKIP() << "needs a mount namespace for a journal socket of its own: not root, and this " \
                    "system allows no unprivileged user namespace"

    // Runs the host on one push; stdout and stderr go to `log`. With `inNamespace`
    // it runs in a mount namespace where the test's socket is the journal's.
    int runHost(const std::vector<std::string>& flags, std::map<std::string, std::string> environment,
                bool inNamespace = true, bool withJournal = true) {
        std::vector<std::string> argv;
        if (inNamespace) {
            // An empty /run/systemd/journal, with the test's socket bound into it when wanted.
            argv = *mountNamespace();
            argv.insert(
                argv.end(),
                {"--propagation", "private", "/bin/sh", "-c",
                 std::string("mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/journal && ") +
                     (withJournal ? "mount --bind \"$0\" /run/systemd/journal && " : "") + "exec \"$@\"",
                 (dir.path() / "journal").string()});
        }
        for (auto& word : hostArguments(binaryPath("tamsel-notification-service"), flags))
            argv.push_back(std::move(word));
        environment.emplace("JOURNAL_STREAM", "");
        ChildProcess host({argv, environmentWith(environment), kOrdinaryPush, false, log});
        auto status = host.wait(60s);
        if (!status) ADD_FAILURE() << "the host did not finish within 60 s";
        return status.value_or(-1);
    }

    std::vector<std::map<std::string, std::string>> journalEntries() {
        std::vector<std::map<std::string, std::string>> entries;
        char buffer[65536];
        for (;;) {
            ssize_t r = recv(journal, buffer, sizeof buffer, MSG_DONTWAIT);
            if (r <= 0) break;
            entries.push_back(journalFields(std::string(buffer, static_cast<std::size_t>(r))));
        }
        return entries;
    }

    std::filesystem::path log = dir.path() / "host.log";
    int journal = -1;
};

TEST_F(HostDesktopTest, LogRecordsGoToTheJournalWithTheirLevelsAndNames) {
    TAMSEL_NEEDS_MOUNT_NAMESPACE();
    ASSERT_EQ(runHost({"--log", "journal"}, {}), 0) << readFile(log);
    auto entries = journalEntries();
    ASSERT_EQ(entries.size(), 2u) << readFile(log);
    const std::vector<std::pair<std::string, std::string>> expected = {{"extension_request_received", "6"},
                                                                       {"extension_request_rejected", "3"}};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(expected[i].first);
        EXPECT_EQ(entries[i]["MESSAGE"], expected[i].first);
        EXPECT_EQ(entries[i]["PRIORITY"], expected[i].second);
        EXPECT_EQ(entries[i]["SYSLOG_IDENTIFIER"], "tamsel-notification-service");
        EXPECT_EQ(entries[i]["SUBSYSTEM"], "com.brindaxel.tamsel");
        EXPECT_EQ(entries[i]["CATEGORY"], "notification-extension");
    }
    EXPECT_TRUE(logMessages(readFile(log)).empty()) << readFile(log);
}

TEST_F(HostDesktopTest, TheJournalIsChosenWhenStderrIsTheJournalStream) {
    TAMSEL_NEEDS_MOUNT_NAMESPACE();
    // The host's stderr is the log file: JOURNAL_STREAM naming exactly that file
    // is what systemd sets for a service whose output the journal takes.
    std::ofstream(log).flush();
    struct stat info {};
    ASSERT_EQ(stat(log.c_str(), &info), 0);
    std::string stream = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);

    ASSERT_EQ(runHost({}, {{"JOURNAL_STREAM", stream}}), 0) << readFile(log);
    EXPECT_EQ(journalEntries().size(), 2u);
    EXPECT_TRUE(logMessages(readFile(log)).empty()) << readFile(log);

    // A variable inherited by a process whose stderr went elsewhere does not count,
    // and the flag wins over the variable.
    for (const auto& [flags, variable] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino + 1)},
             {{"--log", "stderr"}, stream}}) {
        SCOPED_TRACE(variable);
        std::filesystem::remove(log);
        ASSERT_EQ(runHost(flags, {{"JOURNAL_STREAM", variable}}), 0) << readFile(log);
        EXPECT_TRUE(journalEntries().empty());
        EXPECT_EQ(logMessages(readFile(log)),
                  (std::vector<std::string>{"extension_request_received", "extension_request_rejected"}));
    }
}

TEST_F(HostDesktopTest, WithoutAJournalTheRecordsStillReachStderr) {
    TAMSEL_NEEDS_MOUNT_NAMESPACE();
    ASSERT_EQ(runHost({"--log", "journal"}, {}, true, false), 0) << readFile(log);
    EXPECT_EQ(logMessages(readFile(log)),
              (std::vector<std::string>{"extension_request_received", "extension_request_rejected"}));
}

TEST_F(HostDesktopTest, FlagsAndBundlesTheDesktopCannotServeAreRefused) {
    for (const auto& flags : std::vector<std::vector<std::string>>{
             {"--notifications", "dbus"},
             {"--keychain", "kwallet"},
             {"--log", "syslog"},
             {"--log"},
             // The journal of changes belongs to the file-backed centre only.
             {"--notification-journal", (dir.path() / "journal.jsonl").string(), "--notifications",
              "desktop"}}) {
        SCOPED_TRACE(flags[0]);
        EXPECT_EQ(runHost(flags, {}, false), 2);
        EXPECT_NE(readFile(log).find("--help"), std::string::npos);
    }
    // The desktop entry is the application id; without one the host refuses
    // to start rather than post notifications nobody can attribute.
    EXPECT_EQ(runHost({"--notifications", "desktop", "--app-id", ""}, {}, false), 2);
    EXPECT_NE(readFile(log).find("--app-id"), std::string::npos) << readFile(log);
}

TEST_F(HostDesktopTest, TheNotifyCommandPostsThroughTheDesktopCentre) {
    PrivateBus bus;
    MockNotificationServer server(bus);
    Json communication = {{"title", "Ada"},
                          {"body", "hi"},
                          {"sound", "default"},
                          {"communication",
                           {{"senderIdentifier", "s"},
                            {"senderDisplayName", "Ada Lovelace"},
                            {"conversationIdentifier", "c"},
                            {"serviceName", nullptr}}}};
    std::string input = Json{{"identifier", "r1"}, {"content", communication}}.dump() + "\nnot json\n" +
                        Json{{"identifier", "r2"}, {"content", {{"title", "Plain"}}}}.dump() + "\n";
    ChildProcess host({{binaryPath("tamsel-notification-service").string(), "notify", "--bundle",
                        (dir.path() / "bundle").string(), "--platform-root", (dir.path() / "root").string(),
                        "--notifications", "desktop"},
                       bus.environment(),
                       input,
                       false,
                       log});
    EXPECT_EQ(host.wait(60s), 1) << readFile(log);
    EXPECT_NE(readFile(log).find("line 2 is not valid JSON"), std::string::npos) << readFile(log);

    Json notify = Json::array();
    for (const auto& call : server.calls())
        if (call["method"] == "Notify") notify.push_back(call["args"]);
    ASSERT_EQ(notify.size(), 2u) << server.calls().dump();
    const std::string entry = "com.brindaxel.tamsel";
    EXPECT_EQ(notify[0][3], "Ada Lovelace");
    EXPECT_EQ(notify[0][6], (Json{{"desktop-entry", entry}, {"category", "im.received"}}));
    EXPECT_EQ(notify[1][3], "Plain");
    EXPECT_EQ(notify[1][6], (Json{{"desktop-entry", entry}, {"suppress-sound", true}}));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "root/desktop-notifications.json"));
}

TEST_F(HostDesktopTest, HelpNamesTheDesktopFlags) {
    auto result = runProcess({binaryPath("tamsel-notification-service").string(), "--help"}, "");
    EXPECT_EQ(result.exitCode, 0);
    for (const char* text : {"--notifications file|desktop", "--keychain file|secret-service",
                             "--log stderr|journal", "JOURNAL_STREAM"})
        EXPECT_NE(result.out.find(text), std::string::npos) << text;
}

}  // namespace
}  // namespace tamsel::testing
