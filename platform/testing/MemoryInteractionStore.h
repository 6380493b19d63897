#pragma once
// An in-memory interaction store that records donations and deletions and can
// fail any operation on demand (the content update included). Safe from any
// thread.
#include <functional>
#include <mutex>
#include <vector>

#include "platform/Intents.h"
#include "platform/testing/FaultPlan.h"

namespace tamsel::platform::testing {

enum class InteractionOperation { donate, deleteInteractions, contentUpdatedFromIntent };

class MemoryInteractionStore final : public InteractionStore {
  public:
    void donate(const Interaction& interaction) override;
    void deleteInteractions(const std::vector<std::string>& identifiers) override;
    NotificationContent contentUpdatedFromIntent(const NotificationContent& content,
                                                 const SendMessageIntent& intent) override;

    // Seeding, as if an earlier process had donated it.
    void seed(Interaction interaction);

    // The interactions stored now.
    std::vector<Interaction> donated() const;
    // Every successful donation, in order.
    std::vector<Interaction> donations() const;
    // The identifier lists of every successful deletion call, in order.
    std::vector<std::vector<std::string>> deletions() const;
    bool holds(const std::string& identifier) const;

    FaultPlan<InteractionOperation>& faults() { return faults_; }
    int calls(InteractionOperation operation) const { return faults_.calls(operation); }
    template <class E>
    void failNext(InteractionOperation operation, E error) {
        faults_.failCall(operation, 1, std::make_exception_ptr(std::move(error)));
    }
    template <class E>
    void failNextDonate(E error) {
        failNext(InteractionOperation::donate, std::move(error));
    }
    template <class E>
    void failNextDelete(E error) {
        failNext(InteractionOperation::deleteInteractions, std::move(error));
    }
    template <class E>
    void failNextContentUpdate(E error) {
        failNext(InteractionOperation::contentUpdatedFromIntent, std::move(error));
    }

    // Runs before every donation, outside the store's lock (to stage races).
    void beforeDonate(std::function<void(const Interaction&)> hook);

  private:
    void store(Interaction interaction);

    FaultPlan<InteractionOperation> faults_;
    mutable std::mutex mutex_;
    std::vector<Interaction> donated_;
    std::vector<Interaction> donations_;
    std::vector<std::vector<std::string>> deletions_;
    std::function<void(const Interaction&)> beforeDonate_;
};

}  // namespace tamsel::platform::testing
