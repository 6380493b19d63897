#include "platform/testing/RecordingLogSink.h"

namespace tamsel::platform::testing {

void RecordingLogSink::write(const LogRecord& record) {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
}

std::vector<LogRecord> RecordingLogSink::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> RecordingLogSink::lines() const {
    std::vector<std::string> out;
    for (const auto& r : records())
        out.push_back(std::string(logLevelName(r.level)) + " " + r.category + " " + r.message);
    return out;
}

std::vector<std::string> RecordingLogSink::messages() const {
    std::vector<std::string> out;
    for (const auto& r : records()) out.push_back(r.message);
    return out;
}

void RecordingLogSink::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

ScopedRecordingLog::ScopedRecordingLog()
    : sink_(std::make_shared<RecordingLogSink>()), previous_(setLogSink(sink_)) {}

ScopedRecordingLog::~ScopedRecordingLog() { setLogSink(previous_); }

}  // namespace tamsel::platform::testing
