#pragma once
// Donated interactions kept in one file shared by every process that uses the
// same platform root: {"donated": [<every field of each interaction>]}.
// Each operation is one critical section under the file's lock. A file not of
// that shape is never overwritten; operations then fail with kStoreCorrupted.
// Only the most recent donations are kept (the oldest go first), as a system's
// own store prunes them: every donation rewrites the file, and an unbounded one
// made each cost more than the last.
//
// The file is replaced without being synced (Durability::none): a donation
// only helps the system suggest a conversation, and a power loss that takes
// the last ones (or the whole file, read back as empty) loses nothing a
// person sees; the revision ledger, not this file, keeps a change from being
// presented twice. A process killed at any moment leaves the file whole.
//
// What the file held when this object last read or wrote it is kept decoded:
// while the file still holds exactly those bytes, an operation neither decodes
// nor encodes the kept donations again.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
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
    struct Donation {
        std::optional<std::string> identifier;
        std::string text;  // its JSON text, as in the file
    };
    // A document, decoded: the donations in file order and the texts of any
    // other top-level members (kept as they are).
    struct Document {
        std::vector<Donation> donations;
        std::map<std::string, std::string> others;
    };

    // The document the file's bytes hold, every entry checked.
    static Document decode(std::string_view bytes);
    static std::string encode(const Document& document);
    // Runs `change` on the document under the lock and writes the result.
    template <class Change>
    void rewrite(Change&& change);

    KeptJsonFile<Document> file_;
    std::size_t kept_;
};

}  // namespace tamsel::platform
