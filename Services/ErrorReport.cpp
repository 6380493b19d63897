#include "Services/ErrorReport.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <system_error>
#include <typeinfo>

#include "Services/NotificationDeliveryFailure.h"
#include "platform/PlatformError.h"

namespace TamselNotificationService {

std::string errorTypeName(const std::exception_ptr& error) {
    const std::type_info* type = nullptr;
    try {
        std::rethrow_exception(error);
    } catch (...) {
        type = abi::__cxa_current_exception_type();
    }
    if (!type) return "unknown";
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(type->name(), nullptr, nullptr, &status), std::free);
    std::string name = status == 0 && demangled ? demangled.get() : type->name();
    std::string dotted;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name.compare(i, 2, "::") == 0) {
            dotted.push_back('.');
            ++i;
        } else {
            dotted.push_back(name[i]);
        }
    }
    return dotted;
}

long platformErrorCode(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const NotificationDeliveryFailure& failure) {
        return failure.code();
    } catch (const tamsel::platform::PlatformError& platformError) {
        return platformError.code();
    } catch (const std::system_error& systemError) {
        return systemError.code().value();
    } catch (...) {
        return -1;
    }
}

}  // namespace TamselNotificationService
