#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "Services/NotificationDeliveryWorker.h"

namespace TamselNotificationService {
namespace {

using namespace std::chrono;
using tamsel::platform::TimePoint;

// Whole seconds first: the start of a day near the clock's ends does not fit in nanoseconds.
TimePoint at(year_month_day day, nanoseconds sinceMidnight) {
    seconds whole = sys_days(day).time_since_epoch() + floor<seconds>(sinceMidnight);
    return TimePoint(duration_cast<TimePoint::duration>(whole) +
                     duration_cast<TimePoint::duration>(sinceMidnight - floor<seconds>(sinceMidnight)));
}

TEST(NotificationDeliveryDate, ReadsInternetDateTimes) {
    struct Case {
        const char* text;
        TimePoint expected;
    };
    const auto morning = 7h + 8min + 9s;
    const std::vector<Case> cases = {
        {"2024-05-06T07:08:09.123Z", at(2024y / 5 / 6, morning + 123ms)},
        {"2024-05-06T07:08:09Z", at(2024y / 5 / 6, morning)},
        {"2024-05-06T07:08:09.5Z", at(2024y / 5 / 6, morning + 500ms)},
        {"2024-05-06T07:08:09.000001Z", at(2024y / 5 / 6, morning + 1us)},
        {"2024-05-06T07:08:09.123456789Z", at(2024y / 5 / 6, morning + 123456789ns)},
        {"2024-05-06T07:08:09.1234567899Z", at(2024y / 5 / 6, morning + 123456789ns)},
        {"2024-05-06T09:38:09+02:30", at(2024y / 5 / 6, morning)},
        {"2024-05-05T23:08:09-08:00", at(2024y / 5 / 6, morning)},
        {"2024-05-06T07:08:09-00:00", at(2024y / 5 / 6, morning)},
        {"2024-05-06T07:08:09.250+00:00", at(2024y / 5 / 6, morning + 250ms)},
        {"2025-01-01T00:30:00+01:00", at(2024y / 12 / 31, 23h + 30min)},
        {"2024-02-29T23:59:59Z", at(2024y / 2 / 29, 23h + 59min + 59s)},
        {"2000-02-29T00:00:00Z", at(2000y / 2 / 29, 0s)},
        {"1970-01-01T00:00:00Z", TimePoint()},
        {"1969-12-31T23:59:59.9Z", TimePoint() - 100ms},
        // The last whole second the clock holds, with the largest fraction.
        {"2262-04-11T23:47:15.999999999Z", at(2262y / 4 / 11, 23h + 47min + 15s + 999999999ns)},
        {"1677-09-21T00:12:45Z", at(1677y / 9 / 21, 12min + 45s)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto parsed = NotificationDeliveryWorker::date(c.text);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, c.expected);
    }
}

TEST(NotificationDeliveryDate, RefusesAnythingElse) {
    const std::vector<std::string> refused = {
        "",
        "2024-05-06",
        "2024-05-06T07:08:09",
        "2024-05-06T07:08:09.123",
        "2024-05-06 07:08:09Z",
        "2024-05-06t07:08:09Z",
        "2024-05-06T07:08:09z",
        "2024-05-06T07:08Z",
        "2024-5-06T07:08:09Z",
        "24-05-06T07:08:09Z",
        "+2024-05-06T07:08:09Z",
        "20240506T070809Z",
        "2024-13-01T00:00:00Z",
        "2024-00-10T00:00:00Z",
        "2024-05-00T00:00:00Z",
        "2024-02-30T00:00:00Z",
        "2023-02-29T00:00:00Z",
        "1900-02-29T00:00:00Z",
        "2024-04-31T00:00:00Z",
        "2024-05-06T24:00:00Z",
        "2024-05-06T07:60:00Z",
        "2024-05-06T07:08:60Z",
        "2024-05-06T07:08:09+24:00",
        "2024-05-06T07:08:09+02:60",
        "2024-05-06T07:08:09+0200",
        "2024-05-06T07:08:09+02",
        "2024-05-06T07:08:09 +02:00",
        "2024-05-06T07:08:09.Z",
        "2024-05-06T07:08:09,5Z",
        "2024-05-06T07:08:09.-5Z",
        "2024-05-06T07:08:09ZZ",
        "2024-05-06T07:08:09Z\n",
        " 2024-05-06T07:08:09Z",
        "2024-05-06T07:08:09+02:00 ",
        "\u0662\u0660\u0662\u0664-05-06T07:08:09Z",
        std::string("2024-05-06T07:08:09Z\0", 21),
        // Outside what the clock can count: nothing, not an overflow.
        "9999-12-31T23:59:59Z",
        "0000-01-01T00:00:00Z",
        "2262-04-12T00:00:00Z",
        "1677-09-21T00:00:00+00:00",
    };
    for (const auto& text : refused) {
        SCOPED_TRACE(::testing::PrintToString(text));
        EXPECT_EQ(NotificationDeliveryWorker::date(text), std::nullopt);
    }
}

}  // namespace
}  // namespace TamselNotificationService
