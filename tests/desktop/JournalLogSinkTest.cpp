// The journal entry made of a record: the fields and the syslog priorities of
// the three levels. (HostDesktopTest sends entries through a real socket.)
#include <gtest/gtest.h>

#include "platform/linux/JournalLogSink.h"

namespace tamsel::platform {
namespace {

TEST(JournalLogSinkTest, EachLevelHasItsSyslogPriorityAndTheRecordItsNames) {
    const std::vector<std::pair<LogLevel, std::string>> rows = {
        {LogLevel::info, "PRIORITY=6"}, {LogLevel::notice, "PRIORITY=5"}, {LogLevel::error, "PRIORITY=3"}};
    for (const auto& [level, priority] : rows) {
        SCOPED_TRACE(priority);
        LogRecord record{"com.brindaxel.tamsel", "notification-intent", level,
                         "communication_intent_applied"};
        EXPECT_EQ(
            JournalLogSink::fields(record, "tamsel-notification-service"),
            (std::vector<std::string>{"MESSAGE=communication_intent_applied", priority,
                                      "SYSLOG_IDENTIFIER=tamsel-notification-service",
                                      "SUBSYSTEM=com.brindaxel.tamsel", "CATEGORY=notification-intent"}));
    }
}

}  // namespace
}  // namespace tamsel::platform
