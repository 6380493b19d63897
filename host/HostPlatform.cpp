#include <cstdlib>

#include "host/HostDesktop.h"
#include "host/HostOptions.h"
#include "platform/file/FileInteractionStore.h"
#include "platform/file/FileKeychain.h"
#include "platform/file/FileNotificationCenter.h"
#include "platform/file/PosixFileSystem.h"
#include "platform/linux/CurlHTTPSession.h"

namespace tamsel::host {

std::filesystem::path defaultPlatformRoot() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        return std::filesystem::path(xdg) / "tamsel-notification-service";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : ".") / ".local/share/tamsel-notification-service";
}

platform::Platform makeHostPlatform(const HostOptions& options) {
    platform::Platform p;
    p.bundle = std::make_shared<platform::PlistBundle>(options.bundle);
    p.clock = std::make_shared<platform::SystemClock>();
    // Every process given the same root shares these files.
    platform::PosixFileSystem::makeDirectories(options.platformRoot, 0700);
    p.files = std::make_shared<platform::PosixFileSystem>(options.platformRoot);
    p.center = std::make_shared<platform::FileNotificationCenter>(
        options.platformRoot / "notification-center.json", p.clock, options.notificationJournal);
    p.interactions =
        std::make_shared<platform::FileInteractionStore>(options.platformRoot / "interactions.json");
    platform::HTTPSessionSettings sessions;
    sessions.caFile = options.caFile;
    p.sessions = std::make_shared<platform::CurlHTTPSessionFactory>(sessions);
    p.keychain = std::make_shared<platform::FileKeychain>(options.platformRoot);
    applyDesktopBackends(options, p);
    return p;
}

}  // namespace tamsel::host
