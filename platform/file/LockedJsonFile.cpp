#include "platform/file/LockedJsonFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileSystem.h"
#include "platform/file/AtomicFile.h"
#include "platform/file/PosixFileSystem.h"

namespace tamsel::platform {

LockedJsonFile::LockedJsonFile(std::filesystem::path path) : path_(std::move(path)) {}

template <class Body>
void LockedJsonFile::locked(Body&& body) const {
    PosixFileSystem::makeDirectories(path_.parent_path(), 0700);
    auto lockPath = path_;
    lockPath += ".lock";
    Descriptor fd = openRegularFile(lockPath, O_RDWR | O_CREAT);
    lockExclusively(fd.get(), waitDeadline());
    struct Unlock {
        int fd;
        ~Unlock() { ::flock(fd, LOCK_UN); }
    } unlock{fd.get()};
    body();
}

Json LockedJsonFile::load() const {
    std::string bytes;
    try {
        bytes = readRegularFile(path_);
    } catch (const FileSystemError& error) {
        if (error.code().value() == ENOENT) return Json::object();
        throw;
    }
    Json document = parseJson(bytes);
    if (!document.is_object())
        throw nlohmann::json::type_error::create(302, "document is not a JSON object", nullptr);
    return document;
}

Json LockedJsonFile::read() const {
    Json document;
    locked([&] { document = load(); });
    return document;
}

void LockedJsonFile::update(const std::function<void(Json&)>& change) const {
    locked([&] {
        Json document = load();
        change(document);
        // One fsync per change, not two: the directory is not synced after the
        // rename. A process killed at any point loses nothing the kernel
        // already has: before rename() returns every process still reads the
        // old document, after it every process reads the new one, and the lock
        // keeps a second writer from starting on a stale copy, so a change is
        // never lost or applied twice. Only a power loss can undo the rename,
        // and then the old document is there whole (its replacement's bytes
        // were synced before the rename, so never an empty file); what these
        // files hold (notifications on screen, donations, a server's ids) does
        // not outlive a power loss anyway.
        replaceAtomically(path_, writeJson(document), Durability::contents);
    });
}

}  // namespace tamsel::platform
