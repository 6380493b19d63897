#pragma once
// The one-shot hand-off of one content to the platform's content handler.
//
// The handler sits in a slot under a lock. The first caller of complete() takes
// it out and calls it; every later caller finds the slot empty and gets false.
// complete() and finishFallback() may be called from any thread at the same
// time; the handler runs outside the lock, so a handler that calls back into
// this object gets false instead of deadlocking. groupKey and fallback never
// change after construction and are read without the lock.
#include <functional>
#include <mutex>
#include <string>

#include "platform/Log.h"
#include "platform/NotificationContent.h"

namespace TamselNotificationService {

using ContentHandler = std::function<void(tamsel::platform::SharedContent)>;

class NotificationRemotePresentation {
  public:
    NotificationRemotePresentation(std::string groupKey, tamsel::platform::SharedContent fallback,
                                   ContentHandler handler);

    // Hands content off. True if this call did (the handler has been called with
    // it); false if a hand-off had already happened (nothing called or logged).
    bool complete(tamsel::platform::SharedContent content);

    // Hands off the push's own content unless something was handed off before.
    void finishFallback();

    const std::string groupKey;
    const tamsel::platform::SharedContent fallback;

  private:
    std::mutex lock_;
    ContentHandler handler_;
    tamsel::platform::Logger logger_;
};

}  // namespace TamselNotificationService
