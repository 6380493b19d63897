// The entry point of tamsel-desktop.so: the only symbol the module exports.
#include "platform/linux/DesktopModule.h"

#include "platform/linux/JournalLogSink.h"
#include "platform/linux/SecretServiceKeychain.h"

namespace tamsel::platform {
namespace {

std::shared_ptr<NotificationCenter> makeNotificationCenter(const std::filesystem::path& registry,
                                                           std::shared_ptr<const Clock> clock,
                                                           const DesktopNotificationSettings& settings) {
    return std::make_shared<DesktopNotificationCenter>(registry, std::move(clock), settings);
}

std::shared_ptr<Keychain> makeSecretServiceKeychain() { return std::make_shared<SecretServiceKeychain>(); }

KeychainStatus storeInSecretService(const std::string& accessGroup, const std::string& service,
                                    const std::string& account, const KeychainData& data) {
    return SecretServiceKeychain().store(accessGroup, service, account, data);
}

std::shared_ptr<LogSink> makeJournalLogSink(const std::string& syslogIdentifier,
                                            std::shared_ptr<LogSink> fallback) {
    return std::make_shared<JournalLogSink>(syslogIdentifier, std::move(fallback));
}

constexpr DesktopModule kModule{kDesktopModuleVersion,     TAMSEL_VERSION,       makeNotificationCenter,
                                makeSecretServiceKeychain, storeInSecretService, makeJournalLogSink};

}  // namespace
}  // namespace tamsel::platform

extern "C" __attribute__((visibility("default"))) const tamsel::platform::DesktopModule*
tamsel_desktop_module() {
    return &tamsel::platform::kModule;
}
