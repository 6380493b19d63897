#pragma once
// The current time, injectable so tests can pin "now" exactly (expiry checks
// compare strictly with it).
#include <chrono>
#include <mutex>
#include <string>

namespace tamsel::platform {

using TimePoint = std::chrono::system_clock::time_point;

class Clock {
  public:
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
};

class SystemClock final : public Clock {
  public:
    TimePoint now() const override { return std::chrono::system_clock::now(); }
};

// A clock that stands still until told otherwise; safe from any thread.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(TimePoint start) : now_(start) {}
    TimePoint now() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    void set(TimePoint t) {
        std::lock_guard lock(mutex_);
        now_ = t;
    }
    void advance(std::chrono::nanoseconds d) {
        std::lock_guard lock(mutex_);
        now_ += d;
    }

  private:
    mutable std::mutex mutex_;
    TimePoint now_;
};

// A random (version 4) UUID in its canonical upper-case text form, with hyphens.
std::string randomUUID();

}  // namespace tamsel::platform
