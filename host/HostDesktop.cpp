#include "host/HostDesktop.h"

#include <stdexcept>

#if TAMSEL_DESKTOP
#include "platform/linux/DesktopNotificationCenter.h"
#include "platform/linux/JournalLogSink.h"
#include "platform/linux/SecretServiceKeychain.h"
#endif

namespace tamsel::host {
namespace {
#if TAMSEL_DESKTOP
constexpr bool desktopBuilt = true;
#else
constexpr bool desktopBuilt = false;
#endif
}  // namespace

std::optional<std::string> desktopBackendMissing(const HostOptions& options) {
    if (desktopBuilt) return std::nullopt;
    if (options.notifications == HostOptions::Notifications::desktop) return "--notifications desktop";
    if (options.keychain == HostOptions::Keychain::secretService) return "--keychain secret-service";
    if (options.log == HostOptions::Log::journal) return "--log journal";
    return std::nullopt;
}

std::shared_ptr<platform::LogSink> makeLogSink(const HostOptions& options) {
    auto stderrSink = std::make_shared<platform::StderrJsonLogSink>();
#if TAMSEL_DESKTOP
    bool journal = options.log == HostOptions::Log::journal ||
                   (options.log == HostOptions::Log::automatic && platform::stderrIsJournalStream());
    // A record the journal refuses still reaches stderr.
    if (journal) return std::make_shared<platform::JournalLogSink>("tamsel-notification-service", stderrSink);
#else
    (void)options;
#endif
    return stderrSink;
}

std::filesystem::path desktopRegistryPath(const HostOptions& options) {
    return options.platformRoot / "desktop-notifications.json";
}

void applyDesktopBackends(const HostOptions& options, platform::Platform& p) {
#if TAMSEL_DESKTOP
    if (options.notifications == HostOptions::Notifications::desktop) {
        // Notifications and the badge belong to the application, not to its extension.
        if (options.appId.empty()) throw std::runtime_error("--notifications desktop needs an --app-id");
        std::string name = "Tamsel";
        for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
            auto value = p.bundle->object(key);
            if (value && value->string() && !value->string()->empty()) {
                name = *value->string();
                break;
            }
        }
        platform::DesktopNotificationSettings settings;
        settings.applicationName = name;
        settings.desktopEntry = options.appId;
        p.center = std::make_shared<platform::DesktopNotificationCenter>(desktopRegistryPath(options),
                                                                         p.clock, std::move(settings));
    }
    if (options.keychain == HostOptions::Keychain::secretService)
        p.keychain = std::make_shared<platform::SecretServiceKeychain>();
#else
    (void)options, (void)p;
#endif
}

std::optional<platform::KeychainStatus> storeInDesktopKeychain(const HostOptions& options,
                                                               const std::string& accessGroup,
                                                               const std::string& service,
                                                               const std::string& account,
                                                               const platform::KeychainData& data) {
    if (options.keychain != HostOptions::Keychain::secretService) return std::nullopt;
#if TAMSEL_DESKTOP
    return platform::SecretServiceKeychain().store(accessGroup, service, account, data);
#else
    (void)accessGroup, (void)service, (void)account, (void)data;
    return platform::kErrSecParam;
#endif
}

}  // namespace tamsel::host
