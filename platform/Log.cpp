#include "platform/Log.h"

#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>

namespace tamsel::platform {
namespace {
std::mutex sinkMutex;
std::shared_ptr<LogSink> sink;
std::mutex stderrMutex;
}  // namespace

std::string_view logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::info:
            return "info";
        case LogLevel::notice:
            return "default";
        case LogLevel::error:
            return "error";
    }
    return "error";
}

std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> next) {
    std::lock_guard lock(sinkMutex);
    std::swap(sink, next);
    return next;
}

std::shared_ptr<LogSink> currentLogSink() {
    std::lock_guard lock(sinkMutex);
    return sink;
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::log(LogLevel level, std::string_view message) const {
    // Held by value so a sink swapped out meanwhile stays alive for this write.
    auto target = currentLogSink();
    if (target) target->write(LogRecord{subsystem_, category_, level, std::string(message)});
}

void StderrJsonLogSink::write(const LogRecord& record) {
    nlohmann::json line = {{"subsystem", record.subsystem},
                           {"category", record.category},
                           {"level", logLevelName(record.level)},
                           {"message", record.message}};
    // Event strings are ours; replace rather than throw should one ever hold bad UTF-8.
    std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::lock_guard lock(stderrMutex);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace tamsel::platform
