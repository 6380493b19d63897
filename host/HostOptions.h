#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace tamsel::host {

struct HostOptions {
    std::filesystem::path bundle;
    std::filesystem::path platformRoot;
    double timeBudgetSeconds = 30;
    std::optional<std::filesystem::path> caFile;
    std::optional<std::filesystem::path> pushFile;
    // Where the notification centre appends a line for every change it makes.
    std::optional<std::filesystem::path> notificationJournal;
    // Backends for a desktop session (host/HostDesktop.h).
    enum class Notifications { file, desktop } notifications = Notifications::file;
    enum class Keychain { file, secretService } keychain = Keychain::file;
    enum class Log { automatic, stderrJson, journal } log = Log::automatic;
    // The application's id: its bus name and desktop entry (notifications name it).
    std::string appId = "com.brindaxel.tamsel";
};

// Sets the backend that `option` ("notifications", "keychain" or "log") names
// with `value` as the flags spell it ("file", "desktop", "secret-service",
// "stderr", "journal"); false for a value that option does not take.
bool setBackend(HostOptions& options, std::string_view option, std::string_view value);

// The real backends, rooted at the options' platform root.
platform::Platform makeHostPlatform(const HostOptions& options);

// What of makeHostPlatform() a program that shows notifications but makes no
// requests needs: the bundle, the clock, the notification centre (and the
// Secret Service keychain when the options name it). No HTTP sessions, files,
// interactions or file keychain, and no HTTP client linked.
platform::Platform makePresentingPlatform(const HostOptions& options);

// $XDG_DATA_HOME/tamsel-notification-service, else ~/.local/share/tamsel-notification-service
// with ~ from HOME or, without it, the password database. Throws
// std::runtime_error when neither gives an absolute directory.
std::filesystem::path defaultPlatformRoot();

}  // namespace tamsel::host
