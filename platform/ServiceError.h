#pragma once
// The one place where what a service's files, JSON reader or bus report becomes
// the service's own error, as the platform's services report theirs.
#include <optional>
#include <system_error>
#include <utility>

#include "platform/Json.h"
#include "platform/NotificationContent.h"
#include "platform/PlatformError.h"
#include "platform/Task.h"

namespace tamsel::platform {

// The codes a store-backed service reports for what lies below it.
struct StoreErrorCodes {
    long corrupted;    // the document, or a content in it, is not of its shape
    long unavailable;  // the files (or whatever else is below) failed
};

// Runs `body` and rethrows what it throws as ServiceError: the service's own
// errors and cancellation pass unchanged; a malformed document becomes
// `corrupted`; any other platform error becomes what `translate` makes of it
// (nothing: `unavailable`), as does a library's std::system_error.
template <class ServiceError, class Body, class Translate>
auto asServiceError(const StoreErrorCodes& codes, Body&& body, Translate&& translate) {
    try {
        return std::forward<Body>(body)();
    } catch (const ServiceError&) {
        throw;
    } catch (const CancellationError&) {
        throw;
    } catch (const nlohmann::json::exception&) {
        throw ServiceError(codes.corrupted);
    } catch (const ContentFormatError&) {
        throw ServiceError(codes.corrupted);
    } catch (const Error& error) {
        std::optional<long> code = translate(error);
        throw ServiceError(code.value_or(codes.unavailable));
    } catch (const std::system_error&) {
        throw ServiceError(codes.unavailable);
    }
}

template <class ServiceError, class Body>
auto asServiceError(const StoreErrorCodes& codes, Body&& body) {
    return asServiceError<ServiceError>(codes, std::forward<Body>(body),
                                        [](const Error&) { return std::optional<long>(); });
}

}  // namespace tamsel::platform
