// What the services log of an error: its type name and its numeric code.
#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

#include "Services/ErrorReport.h"
#include "Services/NotificationDeliveryFailure.h"
#include "platform/FileSystem.h"
#include "platform/Intents.h"
#include "platform/NotificationCenter.h"
#include "platform/Task.h"

namespace TamselNotificationService {
namespace {

TEST(ErrorReport, NamesTheTypeAndTakesTheCodeEachErrorCarries) {
    using namespace tamsel::platform;
    struct Row {
        std::exception_ptr error;
        const char* typeName;
        long code;
    };
    const Row rows[] = {
        {std::make_exception_ptr(NotificationDeliveryFailure::response()),
         "TamselNotificationService.NotificationDeliveryFailure", 2},
        {std::make_exception_ptr(NotificationDeliveryFailure::transport(503)),
         "TamselNotificationService.NotificationDeliveryFailure", 0},
        {std::make_exception_ptr(IntentError(IntentError::kDonationFailed)), "tamsel.platform.IntentError",
         IntentError::kDonationFailed},
        {std::make_exception_ptr(NotificationCenterError(NotificationCenterError::kNotificationsNotAllowed)),
         "tamsel.platform.NotificationCenterError", NotificationCenterError::kNotificationsNotAllowed},
        {std::make_exception_ptr(FileSystemError(EACCES, "open")), "tamsel.platform.FileSystemError", EACCES},
        {std::make_exception_ptr(CancellationError()), "tamsel.platform.CancellationError", -1},
        {std::make_exception_ptr(std::runtime_error("secret text")), "std.runtime_error", -1},
        {std::make_exception_ptr(42), "int", -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.typeName);
        EXPECT_EQ(errorTypeName(row.error), row.typeName);
        EXPECT_EQ(platformErrorCode(row.error), row.code);
    }
}

}  // namespace
}  // namespace TamselNotificationService
