// The platform's errors share one model (domain and code), and what lies below
// a service becomes the service's own error in one way for every service.
#include <gtest/gtest.h>

#include <functional>

#include "platform/Bundle.h"
#include "platform/FileSystem.h"
#include "platform/HTTPSession.h"
#include "platform/Intents.h"
#include "platform/NotificationCenter.h"
#include "platform/ServiceError.h"
#include "tests/support/Expect.h"

namespace {

using namespace tamsel::platform;

TEST(ErrorModel, EveryPlatformErrorCarriesItsDomainAndCodeAndKeepsItsOwnAccessor) {
    struct Case {
        const char* name;
        std::function<void()> raise;
        ErrorDomain domain;
        long code;
    };
    const Case cases[] = {
        {"centre", [] { throw NotificationCenterError(NotificationCenterError::kStoreCorrupted); },
         ErrorDomain::notificationCenter, 4},
        {"intents", [] { throw IntentError(IntentError::kStoreUnavailable); }, ErrorDomain::intents, 1904},
        {"files", [] { throw FileSystemError(ELOOP, "open"); }, ErrorDomain::fileSystem, ELOOP},
        {"https", [] { throw HTTPSessionError(HTTPSessionError::kTimedOut); }, ErrorDomain::httpSession, 28},
        {"bundle", [] { throw BundleError(BundleError::kTooLarge, "too large"); }, ErrorDomain::bundle, 3},
        {"cancellation", [] { throw CancellationError(); }, ErrorDomain::cancellation, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.raise();
            ADD_FAILURE() << "nothing thrown";
        } catch (const Error& error) {
            EXPECT_EQ(error.domain(), c.domain);
            EXPECT_EQ(error.errorCode(), c.code);
            // Still one std::exception underneath, caught as before.
            EXPECT_NE(dynamic_cast<const std::exception*>(&error), nullptr);
        }
    }
    FileSystemError files(ENOENT, "open");
    EXPECT_EQ(files.code(), std::errc::no_such_file_or_directory);
    EXPECT_EQ(HTTPSessionError(60).code(), 60);
}

TEST(ErrorModel, WhatLiesBelowAServiceBecomesItsOwnErrorInOneWay) {
    constexpr StoreErrorCodes codes{IntentError::kStoreCorrupted, IntentError::kStoreUnavailable};
    auto translate = [](const Error& error) -> std::optional<long> {
        if (error.domain() == ErrorDomain::httpSession) return 77;
        return std::nullopt;
    };
    struct Case {
        const char* name;
        std::function<void()> raise;
        long code;  // 0: passes through unchanged
    };
    const Case cases[] = {
        {"the service's own", [] { throw IntentError(IntentError::kInvalidIntent); },
         IntentError::kInvalidIntent},
        {"a malformed document", [] { (void)parseJson("{"); }, IntentError::kStoreCorrupted},
        {"a file error", [] { throw FileSystemError(EIO, "read"); }, IntentError::kStoreUnavailable},
        {"a library's system error", [] { throw std::system_error(EIO, std::generic_category()); },
         IntentError::kStoreUnavailable},
        {"one the service translates", [] { throw HTTPSessionError(28); }, 77},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(tamsel::testing::thrownCode<IntentError>(
                      [&] { asServiceError<IntentError>(codes, c.raise, translate); }),
                  c.code);
    }
    EXPECT_THROW(asServiceError<IntentError>(codes, [] { throw CancellationError(); }), CancellationError);
}

}  // namespace
