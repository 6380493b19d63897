#pragma once
// How the services name an error in a log event, the one place that looks
// inside errors from outside. Errors themselves pass through unchanged; only
// their type name or their numeric code is ever logged, never their text.
#include <exception>
#include <string>

namespace TamselNotificationService {

// The fully qualified name of an error's dynamic type, as the run's outcome is
// logged: the demangled C++ type with "::" written as "." (so the system's own
// errors read "TamselNotificationService.NotificationDeliveryFailure").
std::string errorTypeName(const std::exception_ptr& error);

// The numeric code of an error as the platform reports it: a platform error's
// own code, a NotificationDeliveryFailure's case position, errno for a system
// error, -1 for anything else.
long platformErrorCode(const std::exception_ptr& error);

}  // namespace TamselNotificationService
