#pragma once
// The desktop backends (the notification server and launcher on the session
// bus, the Secret Service, the journal) as a loadable module, tamsel-desktop.so.
// They need libsystemd, libsecret and GLib, which a program then maps only when
// it is asked to use one of them.
//
// The module exports one C function, kDesktopModuleEntry, that returns the
// table below. It carries no platform layer of its own: the registry's lock,
// the run's deadline, the log sink and the rest are the loading program's, so
// each exists once per process. A program therefore loads only a module built
// with it, which the version and the release check.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/Keychain.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/linux/DesktopNotificationCenter.h"

namespace tamsel::platform {

// Raised whenever the table, or anything it passes, changes shape.
inline constexpr std::uint32_t kDesktopModuleVersion = 1;
inline constexpr const char* kDesktopModuleEntry = "tamsel_desktop_module";
inline constexpr const char* kDesktopModuleFile = "tamsel-desktop.so";

struct DesktopModule {
    // First, and never moved: a loader reads it before anything else.
    std::uint32_t version;
    // The release the module belongs to (the project's version).
    const char* release;

    std::shared_ptr<NotificationCenter> (*makeNotificationCenter)(
        const std::filesystem::path& registry, std::shared_ptr<const Clock> clock,
        const DesktopNotificationSettings& settings);
    std::shared_ptr<Keychain> (*makeSecretServiceKeychain)();
    // SecretServiceKeychain::store() in the default collection.
    KeychainStatus (*storeInSecretService)(const std::string& accessGroup, const std::string& service,
                                           const std::string& account, const KeychainData& data);
    // A JournalLogSink; records the journal does not take go to `fallback`.
    std::shared_ptr<LogSink> (*makeJournalLogSink)(const std::string& syslogIdentifier,
                                                   std::shared_ptr<LogSink> fallback);
};

using DesktopModuleEntry = const DesktopModule* (*)();

}  // namespace tamsel::platform
