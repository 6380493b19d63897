#pragma once
#include <exception>
#include <string>

namespace TamselNotificationService {

// The fully qualified name of an error's dynamic type, as the run's outcome is
// logged: the demangled C++ type with "::" written as "." (so the system's own
// errors read "TamselNotificationService.NotificationDeliveryFailure").
std::string errorTypeName(const std::exception_ptr& error);

}  // namespace TamselNotificationService
