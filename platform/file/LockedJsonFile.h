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
    // For a caller that decodes the document itself: runs `body` under the
    // lock with the document's bytes (nothing when there is no document) and a
    // function that writes new ones.
    void access(const std::function<void(const std::optional<std::string>& bytes, const Replace& replace)>&
                    body) const;

    // The document while open() holds the lock.
    class Open {
      public:
        // True when the document's bytes are exactly `bytes`: compared a part
        // at a time, never read whole. False when there is no file.
        bool holds(std::string_view bytes) const;
        // The bytes as access() gives them.
        std::optional<std::string> read() const;
        void replace(std::string_view bytes) const;

      private:
        friend class LockedJsonFile;
        explicit Open(const LockedJsonFile& file) : file_(file) {}
        const LockedJsonFile& file_;
    };
    // For a caller that keeps what it decoded: runs `body` under the lock, which
    // reads the document only when it must.
    void open(const std::function<void(const Open& file)>& body) const;

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
// and keeps the document it last read or wrote: while the file still holds
// exactly what that document encodes to, an operation neither reads nor
// decodes the file again. Only the document is kept, not its bytes beside it
// (encoding it again joins its texts, and the file is compared with them a
// part at a time), so `encode(decode(bytes))` must give back bytes that `encode`
// wrote. `decode` checks the document and throws what the owner reports for
// one it refuses; no document (no file, or one read as none) is a default
// `Document`. Threads of one process may share the object.
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
        file_.open([&](const LockedJsonFile::Open& file) {
            auto [document, exists] = take(file);
            result = read(std::as_const(document));
            if (exists) keep(std::move(document));
        });
        return result;
    }

    // Lets `change(Document&)` edit the document under the lock and writes the
    // result, unless it comes out as the bytes already there.
    template <class Change>
    void rewrite(Change&& change) {
        file_.open([&](const LockedJsonFile::Open& file) {
            Document document = take(file).first;
            change(document);
            const std::string written = encode_(document);
            if (!file.holds(written)) file.replace(written);
            keep(std::move(document));
        });
    }

  private:
    // The document the file holds, and whether it has one: the kept document
    // (taken out, so that it is never shared) when the file holds what it
    // encodes to, else the file's decoded.
    std::pair<Document, bool> take(const LockedJsonFile::Open& file) {
        std::optional<Document> kept;
        {
            std::lock_guard lock(mutex_);
            kept = std::move(kept_);
            kept_.reset();
        }
        if (kept && file.holds(encode_(*kept))) return {std::move(*kept), true};
        kept.reset();
        const std::optional<std::string> bytes = file.read();
        if (!bytes) return {Document{}, false};
        return {decode_(*bytes), true};
    }

    void keep(Document document) {
        std::lock_guard lock(mutex_);
        kept_ = std::move(document);
    }

    LockedJsonFile file_;
    Decode decode_;
    Encode encode_;
    std::mutex mutex_;
    std::optional<Document> kept_;
};

}  // namespace tamsel::platform
