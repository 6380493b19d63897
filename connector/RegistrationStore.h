#pragma once
// The connector's registration with a push distributor, kept as one keychain
// item of its own (service "Tamsel.push-connector.v1", account = the app id,
// access group = the bundle's TAMSEL_NOTIFICATION_KEYCHAIN_GROUP, else the app
// id) whose value is the JSON object
//     {"token", "keys": {"privateKey", "auth"}, "distributor", "endpoint"}.
// The item holds secrets: its value never reaches a log or an error message.
#include <optional>
#include <stdexcept>
#include <string>

#include "host/HostOptions.h"
#include "platform/Keychain.h"
#include "webpush/Encryption.h"

namespace tamsel::connector {

inline constexpr const char* kRegistrationService = "Tamsel.push-connector.v1";

struct Registration {
    std::string token;  // the connection token: a UUID v4
    webpush::ReceiverKeys keys;
    std::string distributor;  // the distributor's well-known bus name
    std::string endpoint;     // empty until the distributor sent one
};

// The keychain failed, or the stored item is not a registration. The text
// names the status only.
class RegistrationStoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class RegistrationStore {
  public:
    // Reads the access group from the options' bundle. Throws
    // RegistrationStoreError when the bundle is unreadable.
    RegistrationStore(const host::HostOptions& options, std::string appId);

    // The stored registration, or nothing. Throws RegistrationStoreError.
    std::optional<Registration> load();
    // Adds or replaces the item. Throws RegistrationStoreError.
    void save(const Registration& registration);
    // Removes the registration, keys included. Throws RegistrationStoreError.
    void forget();

  private:
    void write(const std::string& value);
    host::HostOptions options_;
    std::string appId_;
    std::string group_;
};

// The stored form and back; fromStoredJson gives nothing for a value that is
// not a whole registration (an empty object is how a forgotten one reads).
std::string toStoredJson(const Registration& registration);
std::optional<Registration> fromStoredJson(const std::string& value);

}  // namespace tamsel::connector
