#include "Services/NotificationDeliveryFailure.h"

namespace TamselNotificationService {

const char* NotificationDeliveryFailure::what() const noexcept {
    switch (kind_) {
        case Kind::transport:
            return "NotificationDeliveryFailure.transport";
        case Kind::credential:
            return "NotificationDeliveryFailure.credential";
        case Kind::response:
            return "NotificationDeliveryFailure.response";
        case Kind::expiredCursor:
            return "NotificationDeliveryFailure.expiredCursor";
    }
    return "NotificationDeliveryFailure";
}

}  // namespace TamselNotificationService
