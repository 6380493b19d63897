#pragma once
// The platform services the system is written against, gathered in one value.
// The host fills it with the real backends, a test with doubles; it is handed to
// NotificationService and down from there. Nothing else is global but the log sink.
#include <memory>

#include "platform/Bundle.h"
#include "platform/Clock.h"

namespace tamsel::platform {

class Keychain;
class HTTPSessionFactory;
class FileSystem;
class NotificationCenter;
class InteractionStore;

struct Platform {
    std::shared_ptr<const Bundle> bundle;
    std::shared_ptr<const Clock> clock;
    std::shared_ptr<Keychain> keychain;
    std::shared_ptr<HTTPSessionFactory> sessions;
    std::shared_ptr<FileSystem> files;
    std::shared_ptr<NotificationCenter> center;
    std::shared_ptr<InteractionStore> interactions;
};

}  // namespace tamsel::platform
