#pragma once
// Planned failures for a test double: the n-th call of one operation from now
// (1 = the next) throws a given error. Every call is counted, failed or not.
// Safe from any thread.
#include <exception>
#include <map>
#include <mutex>
#include <utility>

namespace tamsel::platform::testing {

template <class Operation>
class FaultPlan {
  public:
    void failCall(Operation operation, int nth, std::exception_ptr error) {
        std::lock_guard lock(mutex_);
        planned_[{operation, calls_[operation] + nth}] = std::move(error);
    }
    void clear() {
        std::lock_guard lock(mutex_);
        planned_.clear();
    }
    int calls(Operation operation) const {
        std::lock_guard lock(mutex_);
        auto it = calls_.find(operation);
        return it == calls_.end() ? 0 : it->second;
    }
    // Counts one call of `operation` and throws the failure planned for it.
    void enter(Operation operation) {
        std::exception_ptr error;
        {
            std::lock_guard lock(mutex_);
            auto it = planned_.find({operation, ++calls_[operation]});
            if (it == planned_.end()) return;
            error = it->second;
            planned_.erase(it);
        }
        std::rethrow_exception(error);
    }

  private:
    mutable std::mutex mutex_;
    std::map<Operation, int> calls_;
    std::map<std::pair<Operation, int>, std::exception_ptr> planned_;
};

}  // namespace tamsel::platform::testing
