#include "platform/linux/JournalLogSink.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace tamsel::platform {
namespace {
// Where libsystemd sends native journal entries.
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";
}  // namespace

JournalLogSink::JournalLogSink(std::string syslogIdentifier, std::shared_ptr<LogSink> fallback)
    : syslogIdentifier_(std::move(syslogIdentifier)), fallback_(std::move(fallback)) {}

int JournalLogSink::priority(LogLevel level) {
    switch (level) {
        case LogLevel::info:
            return 6;
        case LogLevel::notice:
            return 5;
        case LogLevel::error:
            return 3;
    }
    return 3;
}

std::vector<std::string> JournalLogSink::fields(const LogRecord& record, std::string_view syslogIdentifier) {
    return {"MESSAGE=" + record.message, "PRIORITY=" + std::to_string(priority(record.level)),
            "SYSLOG_IDENTIFIER=" + std::string(syslogIdentifier), "SUBSYSTEM=" + record.subsystem,
            "CATEGORY=" + record.category};
}

void JournalLogSink::write(const LogRecord& record) {
    auto entry = fields(record, syslogIdentifier_);
    std::vector<iovec> vectors;
    vectors.reserve(entry.size());
    for (auto& field : entry) vectors.push_back({field.data(), field.size()});
    // sendv rather than the printf-like send: values are data, never a format, and
    // may hold line breaks, which the native protocol carries as binary fields.
    // libsystemd drops an entry silently when there is no journal socket at all,
    // so look for it first; any other refusal it reports.
    bool sent = ::access(kJournalSocket, W_OK) == 0 &&
                sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size())) >= 0;
    if (!sent && fallback_) fallback_->write(record);
}

}  // namespace tamsel::platform
