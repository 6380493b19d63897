#pragma once
// Unified logging stand-in: a logger names a subsystem and a category and writes
// fixed event strings at one of three levels to the process-wide sink.
//
// The sink is the one global of the code base. A logger looks it up on every
// write, so a logger created once per process (a function-local static) follows
// a sink that a test installs later. Writes may come from any thread.
#include <memory>
#include <string>
#include <string_view>

namespace tamsel::platform {

enum class LogLevel { info, notice /* the platform's "default" level */, error };

std::string_view logLevelName(LogLevel level);  // "info", "default", "error"

struct LogRecord {
    std::string subsystem;
    std::string category;
    LogLevel level;
    std::string message;
};

class LogSink {
  public:
    virtual ~LogSink() = default;
    // Called with no lock of the caller held; must be safe from any thread.
    virtual void write(const LogRecord& record) = 0;
};

// Installs the sink that every logger writes to and returns the previous one.
// Without a sink, records are dropped.
std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink);
std::shared_ptr<LogSink> currentLogSink();

inline constexpr std::string_view kSubsystem = "com.brindaxel.tamsel";

class Logger {
  public:
    Logger(std::string subsystem, std::string category);

    void log(LogLevel level, std::string_view message) const;
    void info(std::string_view message) const { log(LogLevel::info, message); }
    void notice(std::string_view message) const { log(LogLevel::notice, message); }
    void error(std::string_view message) const { log(LogLevel::error, message); }

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

  private:
    std::string subsystem_;
    std::string category_;
};

// JSON lines on stderr: {"subsystem":…,"category":…,"level":…,"message":…}.
class StderrJsonLogSink final : public LogSink {
  public:
    void write(const LogRecord& record) override;
};

}  // namespace tamsel::platform
