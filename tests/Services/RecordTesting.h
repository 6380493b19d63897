#pragma once
// Shared helpers for the record validator suites.
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "Services/NotificationDeliveryFailure.h"

namespace TamselNotificationService {

inline std::string repeat(std::string_view unit, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += unit;
    return out;
}

// Passes only when `call` throws exactly the response failure.
inline void expectResponse(const std::function<void()>& call) {
    try {
        call();
        ADD_FAILURE() << "accepted, expected the response failure";
    } catch (const NotificationDeliveryFailure& failure) {
        EXPECT_EQ(failure.kind(), NotificationDeliveryFailure::Kind::response) << failure.what();
    }
}

// 64 lower-case hexadecimal digits.
inline const std::string kGroupKey = repeat("0123456789abcdef", 4);
inline const std::string kCanonicalID = "tamsel_sender_" + repeat("fedcba9876543210", 4);

}  // namespace TamselNotificationService
