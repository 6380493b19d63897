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
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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

// A LockedJsonFile whose owner decodes the document into its own `Document`
// and keeps what the file held when it last read or wrote it: while the file
// still holds exactly those bytes, an operation neither decodes nor encodes
// the kept document again. `decode` checks the document and throws what the
// owner reports for one it refuses; no document (no file, or one read as none)
// is a default `Document`. Threads of one process may share the object.
template <class Document>
class KeptJsonFile {
  public:
    using Decode = Document (*)(std::string_view bytes);
    using Encode = std::string (*)(const Document& document);

    KeptJsonFile(std::filesystem::path path, Durability durability, Decode decode, Encode encode)
        : file_(std::move(path), durability), decode_(decode), encode_(encode) {}

    // What `read(const Document&)` returns for the document, under the lock.
    template <class Read>
    auto read(Read&& read) {
        decltype(read(std::declval<const Document&>())) result;
        file_.access([&](const std::optional<std::string>& bytes, const LockedJsonFile::Replace&) {
            Document document = take(bytes);
            result = read(std::as_const(document));
            if (bytes) keep(*bytes, std::move(document));
        });
        return result;
    }

    // Lets `change(Document&)` edit the document under the lock and writes the
    // result, unless it comes out as the bytes already there.
    template <class Change>
    void rewrite(Change&& change) {
        file_.access([&](const std::optional<std::string>& bytes, const LockedJsonFile::Replace& replace) {
            Document document = take(bytes);
            change(document);
            std::string written = encode_(document);
            if (!bytes || written != *bytes) replace(written);
            keep(std::move(written), std::move(document));
        });
    }

  private:
    struct Snapshot {
        std::string bytes;
        Document document;
    };

    // The document `bytes` hold: the kept one (taken out, so that it is never
    // shared) when they are the same bytes, else decoded.
    Document take(const std::optional<std::string>& bytes) {
        {
            std::lock_guard lock(mutex_);
            std::optional<Snapshot> snapshot = std::move(snapshot_);
            snapshot_.reset();
            if (snapshot && bytes && snapshot->bytes == *bytes) return std::move(snapshot->document);
        }
        if (!bytes) return Document{};
        return decode_(*bytes);
    }

    void keep(std::string bytes, Document document) {
        std::lock_guard lock(mutex_);
        snapshot_ = Snapshot{std::move(bytes), std::move(document)};
    }

    LockedJsonFile file_;
    Decode decode_;
    Encode encode_;
    std::mutex mutex_;
    std::optional<Snapshot> snapshot_;
};

}  // namespace tamsel::platform
