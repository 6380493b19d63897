#pragma once
// The system's one error kind. It carries no text: callers log only its type
// name or its numeric code, so nothing of a service answer or a credential can
// leak through it.
#include <exception>
#include <optional>

namespace TamselNotificationService {

class NotificationDeliveryFailure : public std::exception {
  public:
    // In this order: the position is the error's numeric code.
    enum class Kind { transport, credential, response, expiredCursor };

    static NotificationDeliveryFailure transport(long status) { return {Kind::transport, status}; }
    static NotificationDeliveryFailure credential() { return {Kind::credential, 0}; }
    static NotificationDeliveryFailure response() { return {Kind::response, 0}; }
    static NotificationDeliveryFailure expiredCursor() { return {Kind::expiredCursor, 0}; }

    Kind kind() const { return kind_; }
    // The HTTP status of a transport failure; nothing for the other cases.
    std::optional<long> status() const {
        return kind_ == Kind::transport ? std::optional<long>(status_) : std::nullopt;
    }
    long code() const { return static_cast<long>(kind_); }

    const char* what() const noexcept override;
    bool operator==(const NotificationDeliveryFailure& other) const {
        return kind_ == other.kind_ && status_ == other.status_;
    }

  private:
    NotificationDeliveryFailure(Kind kind, long status) : kind_(kind), status_(status) {}
    Kind kind_;
    long status_;
};

}  // namespace TamselNotificationService
