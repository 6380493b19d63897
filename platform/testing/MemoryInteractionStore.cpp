#include "platform/testing/MemoryInteractionStore.h"

#include <algorithm>

namespace tamsel::platform::testing {

void MemoryInteractionStore::store(Interaction interaction) {
    if (interaction.identifier)
        donated_.erase(std::remove_if(donated_.begin(), donated_.end(),
                                      [&](const Interaction& other) {
                                          return other.identifier == interaction.identifier;
                                      }),
                       donated_.end());
    donated_.push_back(std::move(interaction));
}

void MemoryInteractionStore::donate(const Interaction& interaction) {
    std::function<void(const Interaction&)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = beforeDonate_;
    }
    if (hook) hook(interaction);
    faults_.enter(InteractionOperation::donate);
    std::lock_guard lock(mutex_);
    store(interaction);
    donations_.push_back(interaction);
}

void MemoryInteractionStore::deleteInteractions(const std::vector<std::string>& identifiers) {
    faults_.enter(InteractionOperation::deleteInteractions);
    std::lock_guard lock(mutex_);
    donated_.erase(std::remove_if(donated_.begin(), donated_.end(),
                                  [&](const Interaction& other) {
                                      return other.identifier &&
                                             std::find(identifiers.begin(), identifiers.end(),
                                                       *other.identifier) != identifiers.end();
                                  }),
                   donated_.end());
    deletions_.push_back(identifiers);
}

NotificationContent MemoryInteractionStore::contentUpdatedFromIntent(const NotificationContent& content,
                                                                     const SendMessageIntent& intent) {
    faults_.enter(InteractionOperation::contentUpdatedFromIntent);
    return communicationContent(content, intent);
}

void MemoryInteractionStore::beforeDonate(std::function<void(const Interaction&)> hook) {
    std::lock_guard lock(mutex_);
    beforeDonate_ = std::move(hook);
}

void MemoryInteractionStore::seed(Interaction interaction) {
    std::lock_guard lock(mutex_);
    store(std::move(interaction));
}

std::vector<Interaction> MemoryInteractionStore::donated() const {
    std::lock_guard lock(mutex_);
    return donated_;
}

std::vector<Interaction> MemoryInteractionStore::donations() const {
    std::lock_guard lock(mutex_);
    return donations_;
}

std::vector<std::vector<std::string>> MemoryInteractionStore::deletions() const {
    std::lock_guard lock(mutex_);
    return deletions_;
}

bool MemoryInteractionStore::holds(const std::string& identifier) const {
    std::lock_guard lock(mutex_);
    return std::any_of(donated_.begin(), donated_.end(),
                       [&](const Interaction& other) { return other.identifier == identifier; });
}

}  // namespace tamsel::platform::testing
