#pragma once
// An in-memory keychain for tests. It checks queries as the file keychain does,
// records every query it was asked, and can be told to answer the next lookups
// with a status of the test's choosing or to succeed without data.
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/Keychain.h"

namespace tamsel::platform::testing {

class MemoryKeychain final : public Keychain {
  public:
    KeychainResult copyMatching(const KeychainQuery& query) override;

    void store(const std::string& accessGroup, const std::string& service, const std::string& account,
               KeychainData data);
    void store(const std::string& accessGroup, const std::string& service, const std::string& account,
               const std::string& data);
    void remove(const std::string& accessGroup, const std::string& service, const std::string& account);
    // The item is only handed out when the query allows user interaction;
    // otherwise the lookup yields kErrSecInteractionNotAllowed.
    void requireInteraction(const std::string& accessGroup, const std::string& service,
                            const std::string& account);

    // The next lookup answers with this status (and no data), whatever is stored.
    void failNextLookup(KeychainStatus status);
    // The next lookup succeeds but hands back no bytes.
    void succeedNextLookupWithoutData();

    std::vector<KeychainQuery> queries() const;

  private:
    using Key = std::tuple<std::string, std::string, std::string>;
    mutable std::mutex mutex_;
    std::map<Key, KeychainData> items_;
    std::set<Key> needInteraction_;
    std::deque<std::optional<KeychainStatus>> scripted_;  // nullopt: success without data
    std::vector<KeychainQuery> queries_;
};

}  // namespace tamsel::platform::testing
