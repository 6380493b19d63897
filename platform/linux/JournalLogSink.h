#pragma once
// Log records into the systemd journal through its native protocol, one entry per
// record:
//   MESSAGE            the event string
//   PRIORITY           6 for info, 5 for default, 3 for error (syslog levels)
//   SYSLOG_IDENTIFIER  the program's name
//   SUBSYSTEM, CATEGORY  the logger's subsystem and category
// Safe from any thread. A record the journal does not take (no journal on this
// machine, a full socket) goes to the fallback sink instead of being lost.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Log.h"

namespace tamsel::platform {

class JournalLogSink final : public LogSink {
  public:
    explicit JournalLogSink(std::string syslogIdentifier, std::shared_ptr<LogSink> fallback = nullptr);

    void write(const LogRecord& record) override;

    // The entry's fields as "NAME=value", in the order above.
    static std::vector<std::string> fields(const LogRecord& record, std::string_view syslogIdentifier);
    static int priority(LogLevel level);

  private:
    std::string syslogIdentifier_;
    std::shared_ptr<LogSink> fallback_;
};

}  // namespace tamsel::platform
