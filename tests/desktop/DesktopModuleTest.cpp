// The desktop backends as a module the programs load only when asked: which
// libraries a program maps with and without a desktop flag, where it finds the
// module (beside itself, or where an installation puts it), and the refusal
// when the module is missing, broken or of another version.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/Json.h"
#include "tests/desktop/DesktopTestSupport.h"
#include "tests/desktop/HostProgramFixture.h"
#include "tests/support/HostEvents.h"

namespace tamsel::testing {
namespace {

using platform::Json;

// The shared objects the dynamic loader mapped, as LD_DEBUG=files reports them.
std::vector<std::string> mappedLibraries(const std::string& loaderLog) {
    std::vector<std::string> files;
    for (const auto& line : splitLines(loaderLog)) {
        auto at = line.find("file=");
        if (at == std::string::npos || line.find("generating link map") == std::string::npos) continue;
        auto name = line.substr(at + 5);
        files.push_back(name.substr(0, name.find_first_of(" \t[")));
    }
    return files;
}

bool mapsAny(const std::vector<std::string>& files, const std::vector<std::string>& names) {
    for (const auto& file : files)
        for (const auto& name : names)
            if (file.find(name) != std::string::npos) return true;
    return false;
}

const std::vector<std::string> kDesktopLibraries = {"libglib-2.0", "libgio-2.0", "libsecret-1", "libsystemd",
                                                    "tamsel-desktop"};

class DesktopModuleTest : public HostProgramTest {
  protected:
    // A copy of a built program at `relative` under the scratch directory, with
    // nothing beside it.
    std::filesystem::path copyProgram(const std::string& name, const std::filesystem::path& relative) {
        auto target = dir.path() / relative / name;
        std::filesystem::create_directories(target.parent_path());
        std::filesystem::copy_file(binaryPath(name), target);
        return target;
    }

    static std::filesystem::path builtModule(const std::string& file) { return binaryPath(file); }
};

TEST_F(DesktopModuleTest, OnlyAFlagThatAsksForTheDesktopMapsItsLibraries) {
    const auto host = binaryPath("tamsel-notification-service").string();
    const auto connector = binaryPath("tamsel-push-connector").string();
    const std::string bundle = (dir.path() / "bundle").string(), root = (dir.path() / "root").string();
    struct Row {
        const char* name;
        std::vector<std::string> argv;
        std::string input;
        bool desktop;
    };
    const std::vector<Row> rows = {
        {"help", {host, "--help"}, "", false},
        {"a push with the file backends", hostArguments(host, {"--log", "stderr"}), kOrdinaryPush, false},
        {"the connector's status",
         {connector, "status", "--bundle", bundle, "--platform-root", root},
         "",
         false},
        {"the Secret Service asked for", hostArguments(host, {"--keychain", "secret-service"}), "", true},
        {"the connector with the Secret Service",
         {connector, "status", "--bundle", bundle, "--platform-root", root, "--keychain", "secret-service"},
         "",
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // No session bus: the Secret Service is then unavailable, which is not what is looked at here.
        auto result =
            runProcess(row.argv, row.input, 60s,
                       {{"LD_DEBUG", "files"}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}});
        auto files = mappedLibraries(result.err);
        ASSERT_FALSE(files.empty()) << "the loader reported nothing: " << result.err;
        EXPECT_TRUE(mapsAny(files, {"libc.so"}));
        if (row.desktop) {
            EXPECT_TRUE(mapsAny(files, {"tamsel-desktop.so"}));
            EXPECT_TRUE(mapsAny(files, {"libsecret-1", "libglib-2.0"}));
        } else {
            EXPECT_FALSE(mapsAny(files, {"libglib-2.0", "libgio-2.0", "libsecret-1", "tamsel-desktop"}));
            // The connector speaks D-Bus itself; the host does not.
            if (row.argv[0] == host) {
                EXPECT_FALSE(mapsAny(files, {"libsystemd"}));
            }
        }
    }
}

TEST_F(DesktopModuleTest, TheModuleIsFoundBesideTheProgramOrWhereAnInstallationKeepsIt) {
    for (const auto& [program, module] : std::vector<std::pair<std::filesystem::path, std::filesystem::path>>{
             {"build", "build"}, {"usr/bin", "usr/lib/tamsel-notification-service"}}) {
        SCOPED_TRACE(program.string());
        auto host = copyProgram("tamsel-notification-service", program);
        std::filesystem::create_directories(dir.path() / module);
        std::filesystem::copy_file(builtModule("tamsel-desktop.so"),
                                   dir.path() / module / "tamsel-desktop.so");
        // No push reads the keychain: loading the module is all that happens.
        auto result = runProcess(hostArguments(host, {"--keychain", "secret-service"}), "");
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(DesktopModuleTest, AMissingBrokenOrForeignModuleIsRefusedBeforeAnythingRuns) {
    struct Row {
        const char* name;
        std::function<void(const std::filesystem::path&)> beside;  // what to put beside the program
        std::vector<std::string> flags;
        std::string refusal;
        const char* program = "tamsel-notification-service";
    };
    const std::vector<Row> rows = {
        {"no module",
         [](const std::filesystem::path&) {},
         {"--notifications", "desktop"},
         "--notifications desktop is not available: no tamsel-desktop.so beside the program or in "},
        {"no module beside the connector",
         [](const std::filesystem::path&) {},
         {"status", "--keychain", "secret-service"},
         "tamsel-push-connector status: --keychain secret-service is not available: no tamsel-desktop.so",
         "tamsel-push-connector"},
        {"not a shared object",
         [](const std::filesystem::path& module) { std::ofstream(module) << "not a module\n"; },
         {"--keychain", "secret-service"},
         "--keychain secret-service is not available: cannot load "},
        {"another version",
         [](const std::filesystem::path& module) {
             std::filesystem::copy_file(builtModule("tamsel-desktop-other-version.so"), module);
         },
         {"--log", "journal"},
         "is version 2 of the desktop module; this program needs version 1"},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        SCOPED_TRACE(row.name);
        auto program = copyProgram(row.program, "case" + std::to_string(i));
        row.beside(program.parent_path() / "tamsel-desktop.so");
        auto argv = hostArguments(program, {});
        // A subcommand comes first.
        auto flags = row.flags;
        if (flags[0] == "status") {
            argv.insert(argv.begin() + 1, flags[0]);
            flags.erase(flags.begin());
        }
        argv.insert(argv.end(), flags.begin(), flags.end());
        auto result = runProcess(argv, kOrdinaryPush);
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_NE(result.err.find(row.refusal), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("--help"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "") << "nothing was served";
        // The same program asked for no desktop backend works as ever.
        argv.resize(argv.size() - flags.size());
        result = runProcess(argv, kOrdinaryPush);
        EXPECT_EQ(result.exitCode, 0) << result.err;
    }
}

TEST_F(DesktopModuleTest, AJournalChosenAutomaticallyWithoutTheModuleLeavesTheRecordsOnStderr) {
    auto host = copyProgram("tamsel-notification-service", "bin");
    // Standard error is the file that JOURNAL_STREAM names, as under systemd.
    auto log = dir.path() / "host.log";
    std::ofstream(log).flush();
    struct stat info {};
    ASSERT_EQ(stat(log.c_str(), &info), 0);
    ChildProcess process({hostArguments(host, {}),
                          environmentWith({{"JOURNAL_STREAM", std::to_string(info.st_dev) + ":" +
                                                                  std::to_string(info.st_ino)}}),
                          kOrdinaryPush, false, log});
    ASSERT_EQ(process.wait(60s), 0) << readFile(log);
    auto messages = logMessages(readFile(log));
    ASSERT_GE(messages.size(), 3u) << readFile(log);
    EXPECT_EQ(messages[0].rfind("journal-unavailable: no tamsel-desktop.so beside the program", 0), 0u)
        << messages[0];
    EXPECT_EQ(std::vector<std::string>(messages.begin() + 1, messages.end()),
              (std::vector<std::string>{"extension_request_received", "extension_request_rejected"}));
}

TEST_F(DesktopModuleTest, AnErrorInsideTheModuleReachesTheProgramAsTheCentresOwn) {
    PrivateBus bus;  // with no notification server on it
    auto log = dir.path() / "notify.log";
    ChildProcess host({{binaryPath("tamsel-notification-service").string(), "notify", "--bundle",
                        (dir.path() / "bundle").string(), "--platform-root", (dir.path() / "root").string(),
                        "--notifications", "desktop"},
                       bus.environment(),
                       R"({"identifier": "r1", "content": {"title": "T"}})"
                       "\n",
                       false,
                       log});
    EXPECT_EQ(host.wait(60s), 1) << readFile(log);
    EXPECT_NE(readFile(log).find("line 1: the notification centre refused it (code 102)"), std::string::npos)
        << readFile(log);
}

}  // namespace
}  // namespace tamsel::testing
