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
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) throw FileSystemError(errno, "open");
    struct Unlock {
        int fd;
        ~Unlock() {
            ::flock(fd, LOCK_UN);
            ::close(fd);
        }
    } unlock{fd};
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) throw FileSystemError(errno, "flock");
    }
    body();
}

Json LockedJsonFile::load() const {
    struct stat info {};
    if (::stat(path_.c_str(), &info) != 0) {
        if (errno == ENOENT) return Json::object();
        throw FileSystemError(errno, "stat");
    }
    Json document = parseJson(readRegularFile(path_));
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
