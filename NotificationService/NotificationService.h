#pragma once
// The extension's principal class: the platform's way in.
//
// didReceive() checks that a push is a well-formed wake-up and either hands its
// content straight back or arms a one-shot hand-off and starts one
// synchronisation run in the background. serviceExtensionTimeWillExpire() stops
// that run and hands off the push's own content unless something was handed off
// already. Both may be called from any thread; the three fields are guarded by a
// mutex that is never held while calling out. Exactly one content per push
// rests on NotificationRemotePresentation, not on that mutex.
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Services/NotificationRemotePresentation.h"
#include "platform/Log.h"
#include "platform/NotificationContent.h"
#include "platform/Platform.h"
#include "platform/Task.h"

namespace TamselNotificationService {

class NotificationDeliveryWorker;

class NotificationService {
  public:
    explicit NotificationService(tamsel::platform::Platform platform);

    // Returns once the push is rejected or its run has been started.
    void didReceive(const tamsel::platform::NotificationRequest& request, ContentHandler contentHandler);
    // Returns once the fallback has been handed off or found handed off already.
    void serviceExtensionTimeWillExpire();

    // For the host: waits until the current push's run (if any) has ended.
    bool waitForRun(std::chrono::steady_clock::time_point deadline);

  private:
    std::optional<std::string> acceptedGroupKey(const tamsel::platform::NotificationContent& content) const;
    std::optional<std::string> baseURL() const;
    void startRun(const std::string& baseURL, const std::shared_ptr<NotificationRemotePresentation>& remote);

    tamsel::platform::Platform platform_;
    tamsel::platform::Logger logger_;

    std::mutex fieldsLock_;
    std::optional<tamsel::platform::Task<void>> task_;
    std::shared_ptr<NotificationRemotePresentation> remote_;
    std::shared_ptr<NotificationDeliveryWorker> worker_;
};

}  // namespace TamselNotificationService
