#include "platform/testing/MemoryNotificationCenter.h"

#include <algorithm>

namespace tamsel::platform::testing {
namespace {

template <class T>
void eraseIdentifiers(std::vector<T>& list, const std::vector<std::string>& identifiers,
                      const std::string& (*identifierOf)(const T&)) {
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const T& item) {
                                  return std::find(identifiers.begin(), identifiers.end(),
                                                   identifierOf(item)) != identifiers.end();
                              }),
               list.end());
}

const std::string& ofDelivered(const DeliveredNotification& n) { return n.request.identifier; }
const std::string& ofRequest(const NotificationRequest& r) { return r.identifier; }

}  // namespace

std::vector<DeliveredNotification> MemoryNotificationCenter::deliveredNotifications() {
    faults_.enter(CenterOperation::deliveredNotifications);
    return delivered();
}

std::vector<NotificationRequest> MemoryNotificationCenter::pendingNotificationRequests() {
    faults_.enter(CenterOperation::pendingNotificationRequests);
    return pending();
}

void MemoryNotificationCenter::removeDeliveredNotifications(const std::vector<std::string>& identifiers) {
    faults_.enter(CenterOperation::removeDeliveredNotifications);
    std::lock_guard lock(mutex_);
    eraseIdentifiers(delivered_, identifiers, ofDelivered);
    removedDelivered_.push_back(identifiers);
}

void MemoryNotificationCenter::removePendingNotificationRequests(
    const std::vector<std::string>& identifiers) {
    faults_.enter(CenterOperation::removePendingNotificationRequests);
    std::lock_guard lock(mutex_);
    eraseIdentifiers(pending_, identifiers, ofRequest);
    removedPending_.push_back(identifiers);
}

void MemoryNotificationCenter::add(const NotificationRequest& request) {
    std::function<void(const NotificationRequest&)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = beforeAdd_;
    }
    if (hook) hook(request);
    faults_.enter(CenterOperation::add);
    if (!request.content || request.identifier.empty())
        throw NotificationCenterError(NotificationCenterError::kInvalidRequest);
    std::lock_guard lock(mutex_);
    eraseIdentifiers(delivered_, {request.identifier}, ofDelivered);
    eraseIdentifiers(pending_, {request.identifier}, ofRequest);
    delivered_.push_back({request, TimePoint{}});
    added_.push_back(request);
}

void MemoryNotificationCenter::setBadgeCount(std::int64_t count) {
    faults_.enter(CenterOperation::setBadgeCount);
    std::lock_guard lock(mutex_);
    badge_ = count;
    badgeCounts_.push_back(count);
}

void MemoryNotificationCenter::deliver(NotificationRequest request, TimePoint date) {
    std::lock_guard lock(mutex_);
    eraseIdentifiers(delivered_, {request.identifier}, ofDelivered);
    delivered_.push_back({std::move(request), date});
}

void MemoryNotificationCenter::schedule(NotificationRequest request) {
    std::lock_guard lock(mutex_);
    eraseIdentifiers(pending_, {request.identifier}, ofRequest);
    pending_.push_back(std::move(request));
}

std::vector<DeliveredNotification> MemoryNotificationCenter::delivered() const {
    std::lock_guard lock(mutex_);
    return delivered_;
}

std::vector<NotificationRequest> MemoryNotificationCenter::pending() const {
    std::lock_guard lock(mutex_);
    return pending_;
}

std::optional<std::int64_t> MemoryNotificationCenter::badge() const {
    std::lock_guard lock(mutex_);
    return badge_;
}

std::vector<NotificationRequest> MemoryNotificationCenter::added() const {
    std::lock_guard lock(mutex_);
    return added_;
}

std::vector<std::vector<std::string>> MemoryNotificationCenter::removedDelivered() const {
    std::lock_guard lock(mutex_);
    return removedDelivered_;
}

std::vector<std::vector<std::string>> MemoryNotificationCenter::removedPending() const {
    std::lock_guard lock(mutex_);
    return removedPending_;
}

std::vector<std::int64_t> MemoryNotificationCenter::badgeCounts() const {
    std::lock_guard lock(mutex_);
    return badgeCounts_;
}

void MemoryNotificationCenter::beforeAdd(std::function<void(const NotificationRequest&)> hook) {
    std::lock_guard lock(mutex_);
    beforeAdd_ = std::move(hook);
}

}  // namespace tamsel::platform::testing
