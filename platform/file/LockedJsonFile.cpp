#include "platform/file/LockedJsonFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileSystem.h"
#include "platform/RegularFile.h"
#include "platform/file/PosixFileSystem.h"

namespace tamsel::platform {

LockedJsonFile::LockedJsonFile(std::filesystem::path path, Durability durability)
    : path_(std::move(path)), durability_(durability) {}

template <class Body>
void LockedJsonFile::locked(Body&& body) const {
    auto lockPath = path_;
    lockPath += ".lock";
    // Left non-blocking: nothing is read or written through it.
    constexpr int kFlags = O_RDWR | O_CREAT | O_NONBLOCK;
    Descriptor fd(openRegular(lockPath, kFlags));
    // The directory is made when it is missing, not looked at on every access.
    if (!fd && errno == ENOENT) {
        PosixFileSystem::makeDirectories(path_.parent_path(), 0700);
        fd = Descriptor(openRegular(lockPath, kFlags));
    }
    if (!fd) throw FileSystemError(errno, "open");
    lockExclusively(fd.get(), waitDeadline());
    struct Unlock {
        int fd;
        ~Unlock() { ::flock(fd, LOCK_UN); }
    } unlock{fd.get()};
    body();
}

std::optional<std::string> LockedJsonFile::load() const {
    std::string bytes;
    try {
        bytes = readRegularFile(path_);
    } catch (const FileSystemError& error) {
        if (error.code().value() == ENOENT) return std::nullopt;
        throw;
    }
    if (durability_ == Durability::none && (bytes.empty() || bytes.find('\0') != std::string::npos))
        return std::nullopt;
    return bytes;
}

Json LockedJsonFile::parseDocument(std::string_view bytes) {
    Json document = parseJson(bytes);
    if (!document.is_object())
        throw nlohmann::json::type_error::create(302, "document is not a JSON object", nullptr);
    return document;
}

Json LockedJsonFile::read() const {
    Json document;
    locked([&] {
        auto bytes = load();
        document = bytes ? parseDocument(*bytes) : Json::object();
    });
    return document;
}

void LockedJsonFile::update(const std::function<void(Json&)>& change) const {
    access([&](const std::optional<std::string>& bytes, const Replace& replace) {
        Json document = bytes ? parseDocument(*bytes) : Json::object();
        change(document);
        replace(writeJson(document));
    });
}

bool LockedJsonFile::Open::holds(std::string_view bytes) const {
    try {
        return regularFileHolds(file_.path_, std::span<const std::string_view>(&bytes, 1));
    } catch (const FileSystemError& error) {
        if (error.code().value() == ENOENT) return false;
        throw;
    }
}

std::optional<std::string> LockedJsonFile::Open::read() const { return file_.load(); }

void LockedJsonFile::Open::replace(std::string_view bytes) const {
    replaceAtomically(file_.path_, bytes, file_.durability_);
}

void LockedJsonFile::open(const std::function<void(const Open& file)>& body) const {
    // What a kill or a power loss may undo is as for access().
    locked([&] { body(Open(*this)); });
}

void LockedJsonFile::access(
    const std::function<void(const std::optional<std::string>& bytes, const Replace& replace)>& body) const {
    locked([&] {
        // A process killed at any point loses nothing the kernel already has:
        // before rename() returns every process still reads the old document,
        // after it every process reads the new one, and the lock keeps a second
        // writer from starting on a stale copy, so a change is never lost or
        // applied twice. The durability only decides what a power loss may
        // undo: by default the rename (the old document stays whole, its
        // replacement's bytes having been synced first), with none also the
        // bytes (read back as no document, see load()).
        body(load(), [&](std::string_view bytes) { replaceAtomically(path_, bytes, durability_); });
    });
}

}  // namespace tamsel::platform
