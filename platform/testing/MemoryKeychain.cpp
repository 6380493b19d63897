#include "platform/testing/MemoryKeychain.h"

namespace tamsel::platform::testing {

KeychainResult MemoryKeychain::copyMatching(const KeychainQuery& query) {
    std::lock_guard lock(mutex_);
    queries_.push_back(query);
    if (!scripted_.empty()) {
        auto next = scripted_.front();
        scripted_.pop_front();
        if (next) return {*next, std::nullopt};
        return {kErrSecSuccess, std::nullopt};
    }
    auto checked = itemKeyOf(query);
    if (const auto* status = std::get_if<KeychainStatus>(&checked)) return {*status, std::nullopt};
    const auto& key = std::get<KeychainItemKey>(checked);
    Key item{key.accessGroup, key.service, key.account};
    auto found = items_.find(item);
    if (found == items_.end()) return {kErrSecItemNotFound, std::nullopt};
    if (needInteraction_.contains(item) && !key.interactionAllowed)
        return {kErrSecInteractionNotAllowed, std::nullopt};
    if (!key.returnData) return {kErrSecSuccess, std::nullopt};
    return {kErrSecSuccess, found->second};
}

void MemoryKeychain::store(const std::string& accessGroup, const std::string& service,
                           const std::string& account, KeychainData data) {
    std::lock_guard lock(mutex_);
    items_[{accessGroup, service, account}] = std::move(data);
}

void MemoryKeychain::store(const std::string& accessGroup, const std::string& service,
                           const std::string& account, const std::string& data) {
    store(accessGroup, service, account, KeychainData(data.begin(), data.end()));
}

void MemoryKeychain::remove(const std::string& accessGroup, const std::string& service,
                            const std::string& account) {
    std::lock_guard lock(mutex_);
    items_.erase({accessGroup, service, account});
}

void MemoryKeychain::requireInteraction(const std::string& accessGroup, const std::string& service,
                                        const std::string& account) {
    std::lock_guard lock(mutex_);
    needInteraction_.insert({accessGroup, service, account});
}

void MemoryKeychain::failNextLookup(KeychainStatus status) {
    std::lock_guard lock(mutex_);
    scripted_.push_back(status);
}

void MemoryKeychain::succeedNextLookupWithoutData() {
    std::lock_guard lock(mutex_);
    scripted_.push_back(std::nullopt);
}

std::vector<KeychainQuery> MemoryKeychain::queries() const {
    std::lock_guard lock(mutex_);
    return queries_;
}

}  // namespace tamsel::platform::testing
