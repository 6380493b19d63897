#pragma once
// Donated interactions kept in one file shared by every process that uses the
// same platform root: {"donated": [<every field of each interaction>]}.
// Each operation is one critical section under the file's lock. A file not of
// that shape is never overwritten; operations then fail with kStoreCorrupted.
// Only the most recent donations are kept (the oldest go first), as a system's
// own store prunes them: every donation rewrites the file, and an unbounded one
// made each cost more than the last.
#include <filesystem>
#include <vector>

#include "platform/Intents.h"
#include "platform/file/LockedJsonFile.h"

namespace tamsel::platform {

class FileInteractionStore final : public InteractionStore {
  public:
    static constexpr std::size_t kKeptDonations = 256;

    explicit FileInteractionStore(std::filesystem::path file, std::size_t kept = kKeptDonations);

    void donate(const Interaction& interaction) override;
    void deleteInteractions(const std::vector<std::string>& identifiers) override;
    NotificationContent contentUpdatedFromIntent(const NotificationContent& content,
                                                 const SendMessageIntent& intent) override;

    std::vector<Interaction> donated();

  private:
    LockedJsonFile file_;
    std::size_t kept_;
};

}  // namespace tamsel::platform
