#pragma once
// A log sink that keeps every record, for tests that assert events in order.
// Install it with ScopedRecordingLog; the previous sink comes back on scope exit.
#include <mutex>
#include <string>
#include <vector>

#include "platform/Log.h"

namespace tamsel::platform::testing {

class RecordingLogSink final : public LogSink {
  public:
    void write(const LogRecord& record) override;
    std::vector<LogRecord> records() const;
    // "level category message" per record, the easy form to compare in a test.
    std::vector<std::string> lines() const;
    std::vector<std::string> messages() const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
};

class ScopedRecordingLog {
  public:
    ScopedRecordingLog();
    ~ScopedRecordingLog();
    ScopedRecordingLog(const ScopedRecordingLog&) = delete;
    ScopedRecordingLog& operator=(const ScopedRecordingLog&) = delete;
    RecordingLogSink& sink() { return *sink_; }
    std::vector<std::string> lines() const { return sink_->lines(); }
    std::vector<std::string> messages() const { return sink_->messages(); }

  private:
    std::shared_ptr<RecordingLogSink> sink_;
    std::shared_ptr<LogSink> previous_;
};

}  // namespace tamsel::platform::testing
