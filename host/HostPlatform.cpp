#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/HostDesktop.h"
#include "host/HostOptions.h"
#include "platform/file/FileNotificationCenter.h"
#include "platform/file/PosixFileSystem.h"

namespace tamsel::host {

std::filesystem::path defaultPlatformRoot() {
    // A relative XDG_DATA_HOME is invalid and ignored, as the base directory rules say.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/')
        return std::filesystem::path(xdg) / "tamsel-notification-service";
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable && *variable == '/') {
        home = variable;
    } else {
        long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
        std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
        passwd entry{};
        passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            found->pw_dir && found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    // Never fall back to the working directory: state there would be lost or shared by accident.
    if (home.empty())
        throw std::runtime_error(
            "no platform root: XDG_DATA_HOME and HOME are unset or relative and the password database has no "
            "home directory for this user; pass --platform-root");
    return std::filesystem::path(home) / ".local/share/tamsel-notification-service";
}

bool setBackend(HostOptions& options, std::string_view option, std::string_view value) {
    using O = HostOptions;
    if (option == "notifications" && (value == "file" || value == "desktop")) {
        options.notifications = value == "file" ? O::Notifications::file : O::Notifications::desktop;
    } else if (option == "keychain" && (value == "file" || value == "secret-service")) {
        options.keychain = value == "file" ? O::Keychain::file : O::Keychain::secretService;
    } else if (option == "log" && (value == "stderr" || value == "journal")) {
        options.log = value == "stderr" ? O::Log::stderrJson : O::Log::journal;
    } else {
        return false;
    }
    return true;
}

platform::Platform makePresentingPlatform(const HostOptions& options) {
    platform::Platform p;
    p.bundle = std::make_shared<platform::PlistBundle>(options.bundle);
    p.clock = std::make_shared<platform::SystemClock>();
    // Every process given the same root shares these files.
    platform::PosixFileSystem::makeDirectories(options.platformRoot, 0700);
    p.center = std::make_shared<platform::FileNotificationCenter>(
        options.platformRoot / "notification-center.json", p.clock, options.notificationJournal);
    applyDesktopBackends(options, p);
    return p;
}

}  // namespace tamsel::host
