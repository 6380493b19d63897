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
        replaceAtomically(path_, writeJson(document));
    });
}

}  // namespace tamsel::platform
