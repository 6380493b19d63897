#pragma once
// What the tests that run the built programs with the desktop backends share:
// a scratch directory holding a bundle, the arguments that point a program at
// it, and an ordinary push to give the host.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/ScratchDirectory.h"

namespace tamsel::testing {

inline const std::string kOrdinaryPush =
    R"({"identifier":"p1","content":{"title":"Hello","body":"b","userInfo":{}}})"
    "\n";

// The file's text; empty when there is no file (yet).
inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class HostProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.path() / "bundle");
        writeBundle("<key>CFBundleIdentifier</key><string>com.brindaxel.tamsel.NotificationService</string>");
    }

    // Writes the bundle's Info.plist: `extra`, then the settings every test needs.
    void writeBundle(const std::string& extra) {
        std::ofstream(dir.path() / "bundle/Info.plist", std::ios::trunc)
            << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)" << extra
            << R"(<key>TAMSEL_API_BASE_URL</key><string>https://127.0.0.1:9/</string>
                  <key>TAMSEL_NOTIFICATION_KEYCHAIN_GROUP</key><string>group.tamsel.test</string>
                  </dict></plist>)";
    }

    // `program` with the bundle and a platform root in the scratch directory, then `flags`.
    std::vector<std::string> hostArguments(const std::filesystem::path& program,
                                           const std::vector<std::string>& flags) const {
        std::vector<std::string> argv = {program.string(), "--bundle", (dir.path() / "bundle").string(),
                                         "--platform-root", (dir.path() / "root").string()};
        argv.insert(argv.end(), flags.begin(), flags.end());
        return argv;
    }

    ScratchDirectory dir;
};

}  // namespace tamsel::testing
