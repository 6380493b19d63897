#include "Services/NotificationSharedAuthority.h"

#include <cmath>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "Services/NotificationDeliveryFailure.h"
#include "platform/Json.h"
#include "platform/Keychain.h"
#include "platform/Log.h"

namespace TamselNotificationService {

using tamsel::platform::Json;
using tamsel::platform::TimePoint;

namespace {

// 2001-01-01T00:00:00Z, the reference date "expiresAt" counts from.
constexpr std::chrono::seconds kReferenceDate{978'307'200};

TimePoint fromReferenceSeconds(double seconds) {
    // Whole and fractional parts apart, so nanoseconds survive a large whole part.
    const double whole = std::floor(seconds);
    const double fraction = seconds - whole;
    constexpr double kLimit = 9.2e9;  // seconds a nanosecond clock reaches either way from 1970
    const double since1970 = whole + static_cast<double>(kReferenceDate.count());
    // An expiry beyond the clock's range stays on its side of every real instant.
    if (since1970 >= kLimit) return TimePoint::max();
    if (since1970 <= -kLimit) return TimePoint::min();
    auto whole1970 = std::chrono::seconds(static_cast<long long>(since1970));
    // Rounded half up by hand (the fraction is never negative): std::llround
    // alone would load the whole maths library into every run.
    auto nanos = std::chrono::nanoseconds(static_cast<long long>(fraction * 1e9 + 0.5));
    return TimePoint(std::chrono::duration_cast<TimePoint::duration>(whole1970 + nanos));
}

double toReferenceSeconds(TimePoint instant) {
    // In whole seconds first: subtracting the offset in nanoseconds could overflow.
    auto whole1970 = std::chrono::floor<std::chrono::seconds>(instant.time_since_epoch());
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(instant.time_since_epoch() - whole1970);
    return static_cast<double>(whole1970.count() - kReferenceDate.count()) +
           static_cast<double>(nanos.count()) / 1e9;
}

std::string stringMember(const Json& object, const char* key) {
    return object.at(key).get<std::string>();  // out_of_range or type_error from the library
}

const tamsel::platform::Logger& logger() {
    static const tamsel::platform::Logger instance(std::string(tamsel::platform::kSubsystem),
                                                   "notification-authority");
    return instance;
}

tamsel::platform::KeychainQuery query(const tamsel::platform::Platform& platform) {
    using namespace tamsel::platform;
    // The item's identity is the one the main application stores it under.
    std::optional<std::string> group =
        platform.bundle ? credentialAccessGroup(*platform.bundle) : std::nullopt;
    if (!group) {
        logger().error("shared_keychain_configuration_invalid");
        throw NotificationDeliveryFailure::credential();
    }
    return {
        {kSecClass, kSecClassGenericPassword},
        {kSecUseDataProtectionKeychain, true},
        {kSecUseAuthenticationUI, kSecUseAuthenticationUIFail},
        {kSecAttrAccessGroup, *group},
        {kSecAttrService, kCredentialService},
        {kSecAttrAccount, kCredentialAccount},
    };
}

void requireSuccess(tamsel::platform::KeychainStatus status, const std::string& operation) {
    if (status == tamsel::platform::kErrSecSuccess) return;
    logger().error("shared_keychain_failed operation=" + operation + " status=" + std::to_string(status));
    throw NotificationDeliveryFailure::credential();
}

}  // namespace

NotificationWorkerCredential NotificationWorkerCredential::decode(std::string_view bytes) {
    const Json object = tamsel::platform::parseJson(bytes);
    NotificationWorkerCredential credential;
    credential.receiverID = stringMember(object, "receiverID");
    credential.refreshProof = stringMember(object, "refreshProof");
    credential.authorizationRevision = stringMember(object, "authorizationRevision");
    const Json& expiresAt = object.at("expiresAt");
    // The library would read a boolean as 0 or 1; only a number is a date here.
    if (!expiresAt.is_number())
        throw Json::type_error::create(
            302, std::string("type must be number, but is ") + expiresAt.type_name(), &expiresAt);
    credential.expiresAt = fromReferenceSeconds(expiresAt.get<double>());
    return credential;
}

std::string NotificationWorkerCredential::encode() const {
    return tamsel::platform::writeJson({{"receiverID", receiverID},
                                        {"refreshProof", refreshProof},
                                        {"authorizationRevision", authorizationRevision},
                                        {"expiresAt", toReferenceSeconds(expiresAt)}});
}

namespace NotificationSharedAuthority {

NotificationWorkerCredential load(const tamsel::platform::Platform& platform) {
    using namespace tamsel::platform;
    KeychainQuery lookup = query(platform);
    lookup[kSecReturnData] = true;
    lookup[kSecMatchLimit] = kSecMatchLimitOne;
    if (!platform.keychain) throw std::invalid_argument("the platform has no keychain");
    const KeychainResult result = platform.keychain->copyMatching(lookup);
    requireSuccess(result.status, "load");
    if (!result.data) throw NotificationDeliveryFailure::credential();
    // The same bytes decode to the same credential: a run loads it before
    // every exchange, and it is rarely replaced during one.
    static std::mutex mutex;
    static std::optional<std::pair<KeychainData, NotificationWorkerCredential>> last;
    {
        std::lock_guard guard(mutex);
        if (last && last->first == *result.data) return last->second;
    }
    auto credential = NotificationWorkerCredential::decode(
        std::string_view(reinterpret_cast<const char*>(result.data->data()), result.data->size()));
    std::lock_guard guard(mutex);
    last.emplace(*result.data, credential);
    return credential;
}

}  // namespace NotificationSharedAuthority

}  // namespace TamselNotificationService
