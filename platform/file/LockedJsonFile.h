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
// Errors are those of the files (FileSystemError), of the JSON reader, and
// CancellationError.
#include <filesystem>
#include <functional>

#include "platform/Json.h"

namespace tamsel::platform {

class LockedJsonFile {
  public:
    explicit LockedJsonFile(std::filesystem::path path);

    // The document as it is now; an empty object when there is no file yet.
    Json read() const;
    // Reads the document, lets `change` edit it and writes it back.
    void update(const std::function<void(Json&)>& change) const;

    const std::filesystem::path& path() const { return path_; }

  private:
    template <class Body>
    void locked(Body&& body) const;
    Json load() const;

    std::filesystem::path path_;
};

}  // namespace tamsel::platform
