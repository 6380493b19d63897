#pragma once
// Shared helpers for the record suites: the one builder of change records
// (tests/support/ChangeRecords.h) under the services' namespace, and failure checks.
#include <gtest/gtest.h>

#include <functional>

#include "Services/NotificationDeliveryFailure.h"
#include "platform/Json.h"
#include "tests/support/ChangeRecords.h"

namespace TamselNotificationService {

using tamsel::testing::ChangeFields;
using tamsel::testing::changeRecord;
using tamsel::testing::kCanonicalID;
using tamsel::testing::kGroupKey;
using tamsel::testing::repeat;
using tamsel::testing::senderRecord;
using tamsel::testing::withdrawnRecord;

// Passes only when `call` throws the NotificationDeliveryFailure of `kind`.
inline void expectFailure(NotificationDeliveryFailure::Kind kind, const std::function<void()>& call) {
    try {
        call();
        ADD_FAILURE() << "no failure, expected kind " << static_cast<int>(kind);
    } catch (const NotificationDeliveryFailure& failure) {
        EXPECT_EQ(failure.kind(), kind) << failure.what();
    }
}
inline void expectResponse(const std::function<void()>& call) {
    expectFailure(NotificationDeliveryFailure::Kind::response, call);
}

}  // namespace TamselNotificationService
