#include <cstdlib>

#include "platform/host/HostOptions.h"

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
    return p;
}

}  // namespace tamsel::host
