#include "host/KeychainStoreCommand.h"

#include <iterator>
#include <optional>
#include <string>

#include "Services/NotificationSharedAuthority.h"
#include "host/HostDesktop.h"
#include "host/HostOptions.h"
#include "platform/Bundle.h"
#include "platform/Json.h"
#include "platform/Keychain.h"
#include "platform/file/FileKeychain.h"

namespace tamsel::host {
namespace {

using platform::kCredentialAccount;
using platform::kCredentialService;
// A credential is a few hundred bytes; anything near this is not one.
constexpr std::size_t kLargestInput = 64 * 1024;

int usage(std::ostream& errors, const std::string& message) {
    errors << "tamsel-notification-service keychain-store: " << message << "\n(see --help)\n";
    return 2;
}

int refuse(std::ostream& errors, const std::string& message) {
    errors << "tamsel-notification-service keychain-store: " << message << "\n";
    return 1;
}

}  // namespace

int runKeychainStore(int argc, const char* const* arguments, std::istream& input, std::ostream& errors) {
    std::optional<std::filesystem::path> bundleDirectory;
    std::filesystem::path platformRoot;
    HostOptions options;
    for (int i = 0; i < argc; ++i) {
        std::string arg = arguments[i];
        if (arg == "--bundle" || arg == "--platform-root") {
            if (i + 1 >= argc) return usage(errors, arg + " needs a directory");
            if (arg == "--bundle")
                bundleDirectory = arguments[++i];
            else
                platformRoot = arguments[++i];
        } else if (arg == "--keychain") {
            if (i + 1 >= argc || !parseBackendFlag(options, arg, arguments[++i]))
                return usage(errors, "--keychain needs file or secret-service");
        } else {
            return usage(errors, "unknown argument " + arg);
        }
    }
    if (!bundleDirectory) return usage(errors, "--bundle is required");
    if (platformRoot.empty()) platformRoot = defaultPlatformRoot();

    std::string group;
    try {
        platform::PlistBundle bundle(*bundleDirectory);
        auto value = platform::credentialAccessGroup(bundle);
        if (!value)
            return refuse(errors, "the bundle has no usable TAMSEL_NOTIFICATION_KEYCHAIN_GROUP setting");
        group = *value;
    } catch (const platform::BundleError& e) {
        return refuse(errors, std::string("cannot read the bundle: ") + e.what());
    }

    std::string bytes;
    char buffer[4096];
    while (input.read(buffer, sizeof buffer) || input.gcount() > 0) {
        bytes.append(buffer, static_cast<std::size_t>(input.gcount()));
        if (bytes.size() > kLargestInput)
            return refuse(errors, "standard input is too large for a credential");
    }
    try {
        TamselNotificationService::NotificationWorkerCredential::decode(bytes);
    } catch (const platform::Json::exception&) {
        // The decoder's message may quote the input, and the input is a secret.
        return refuse(
            errors,
            "standard input is not a worker credential: a JSON object with the strings \"receiverID\", "
            "\"refreshProof\", \"authorizationRevision\" and the number \"expiresAt\" (seconds since "
            "2001-01-01T00:00:00Z)");
    }

    platform::KeychainData data(bytes.begin(), bytes.end());
    auto desktopStatus = storeInDesktopKeychain(options, group, kCredentialService, kCredentialAccount, data);
    auto status =
        desktopStatus
            ? *desktopStatus
            : platform::FileKeychain(platformRoot).store(group, kCredentialService, kCredentialAccount, data);
    if (status != platform::kErrSecSuccess)
        return refuse(errors, "cannot store the credential (keychain status " + std::to_string(status) + ")");
    return 0;
}

}  // namespace tamsel::host
