#pragma once
// Defaults an installation gives its programs, so that a bus-activated
// connector (started with no flags) finds the installed bundle and the desktop
// backends. The file sits beside the installed programs:
//     <directory of the executable>/../share/tamsel-notification-service/defaults.json
// A build tree has no such file, so programs run from it keep the built-in
// defaults. Flags given on the command line override what the file says.
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/HostOptions.h"

namespace tamsel::host {

// The file is unreadable, not JSON, or a member is unknown, of the wrong type
// or has a bad value. The message names the file and the member.
class InstalledDefaultsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct InstalledDefaults {
    std::optional<std::filesystem::path> bundle, platformRoot, caFile;
    // As the flags spell them: "file" | "desktop", "file" | "secret-service", "stderr" | "journal".
    std::optional<std::string> notifications, keychain, log;
    std::optional<double> timeBudgetSeconds;
    std::optional<std::string> appId;

    void applyTo(HostOptions& options) const;
    // The defaults as command-line flags, limited to `accepted` (e.g. "--bundle"):
    // for subcommands that parse flags of their own. Placed before the user's
    // flags, the user's still win.
    std::vector<std::string> asArguments(const std::vector<std::string_view>& accepted) const;
};

// `file` only names the source in error messages.
InstalledDefaults parseInstalledDefaults(std::string_view text, const std::filesystem::path& file);

// Where the running program's defaults would be (resolved through /proc/self/exe).
std::filesystem::path installedDefaultsFile();

// The running program's installed defaults; nothing when there is no file.
std::optional<InstalledDefaults> loadInstalledDefaults(
    const std::filesystem::path& file = installedDefaultsFile());

// A D-Bus well-known name: two or more dot-separated elements of [A-Za-z0-9_-],
// none empty or starting with a digit, at most 255 characters.
bool isBusName(std::string_view name);

}  // namespace tamsel::host
