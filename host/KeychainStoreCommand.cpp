#include "host/KeychainStoreCommand.h"

#include <iterator>
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

int refuse(std::FILE* errors, const std::string& message) {
    std::fprintf(errors, "tamsel-notification-service keychain-store: %s\n", message.c_str());
    return 1;
}

}  // namespace

int runKeychainStore(const HostOptions& options, std::FILE* input, std::FILE* errors) {
    std::string group;
    try {
        platform::PlistBundle bundle(options.bundle);
        auto value = platform::credentialAccessGroup(bundle);
        if (!value)
            return refuse(errors, "the bundle has no usable TAMSEL_NOTIFICATION_KEYCHAIN_GROUP setting");
        group = *value;
    } catch (const platform::BundleError& e) {
        return refuse(errors, std::string("cannot read the bundle: ") + e.what());
    }

    std::string bytes;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, input)) > 0;) {
        bytes.append(buffer, n);
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
    auto status = desktopStatus ? *desktopStatus
                                : platform::FileKeychain(options.platformRoot)
                                      .store(group, kCredentialService, kCredentialAccount, data);
    if (status != platform::kErrSecSuccess)
        return refuse(errors, "cannot store the credential (keychain status " + std::to_string(status) + ")");
    return 0;
}

}  // namespace tamsel::host
