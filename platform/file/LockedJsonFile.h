#pragma once
// One JSON document shared by every process that uses the same platform root.
//
// Each access opens "<file>.lock" (a separate, stable file: the document itself
// is replaced by rename, which would leave a lock on the old inode), takes an
// exclusive flock, reads the document, and for an update writes it back
// atomically before it unlocks. Threads of one process exclude each other the
// same way, since every access has its own open file description.
// The lock is waited for only until the run's deadline (at most
// kDefaultWaitLimit) and while the current task is not cancelled; the lock and
// the document must be regular files (see RegularFile.h).
//
// How much of a write is synced is the file's Durability (see AtomicFile.h).
// With Durability::none, a document that is empty or holds a NUL byte reads as
// no document at all: no JSON text is either, so these are the bytes of a
// replacement that a crash of the system cut off before they reached the disk,
// and what they held is lost, as it would be with the platform's own service.
// Any other document that does not read is refused and left as it is.
//
// Errors are those of the files (FileSystemError), of the JSON reader, and
// CancellationError.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Json.h"
#include "platform/file/AtomicFile.h"

namespace tamsel::platform {

class LockedJsonFile {
  public:
    explicit LockedJsonFile(std::filesystem::path path, Durability durability = Durability::contents);

    // The document as it is now; an empty object when there is no file yet.
    Json read() const;
    // Reads the document, lets `change` edit it and writes it back.
    void update(const std::function<void(Json&)>& change) const;

    // Replaces the document's bytes; called only inside access().
    using Replace = std::function<void(std::string_view bytes)>;
    // For a caller that decodes the document itself (and may keep what it
    // decoded): runs `body` under the lock with the document's bytes (nothing
    // when there is no document) and a function that writes new ones.
    void access(const std::function<void(const std::optional<std::string>& bytes, const Replace& replace)>&
                    body) const;

    // The bytes as a document: a JSON object, or the JSON reader's error.
    static Json parseDocument(std::string_view bytes);

    const std::filesystem::path& path() const { return path_; }

  private:
    template <class Body>
    void locked(Body&& body) const;
    std::optional<std::string> load() const;

    std::filesystem::path path_;
    Durability durability_;
};

}  // namespace tamsel::platform
