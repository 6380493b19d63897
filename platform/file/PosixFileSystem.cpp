#include "platform/file/PosixFileSystem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string>

#include "platform/file/AtomicFile.h"

namespace tamsel::platform {
namespace {

[[noreturn]] void fail(const char* operation, int error = errno) { throw FileSystemError(error, operation); }

bool isDirectory(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

PosixFileSystem::PosixFileSystem(std::filesystem::path root) : root_(std::move(root)) {}

std::optional<std::filesystem::path> PosixFileSystem::containerDirectory(const std::string& group) {
    // A group name is one path component; anything that could step out of the
    // containers directory names no container.
    if (group.empty() || group == "." || group == ".." || group.find('/') != std::string::npos ||
        group.find('\0') != std::string::npos)
        return std::nullopt;
    auto directory = root_ / "containers" / group;
    if (!isDirectory(directory)) return std::nullopt;
    return directory;
}

std::filesystem::path PosixFileSystem::applicationSupportDirectory() {
    auto directory = root_ / "application-support";
    makeDirectories(directory, 0700);
    return directory;
}

void PosixFileSystem::makeDirectories(const std::filesystem::path& path, mode_t mode) {
    // Nearly always there already (the ledger asks once a page): one stat instead
    // of a mkdir and a stat for every component.
    if (isDirectory(path)) return;
    std::filesystem::path partial;
    for (const auto& component : path.lexically_normal()) {
        partial /= component;
        if (component.empty() || partial == partial.root_path()) continue;
        if (::mkdir(partial.c_str(), mode) == 0) {
            // mkdir() honours the umask; the mode asked for is the mode wanted.
            if (::chmod(partial.c_str(), mode) != 0) fail("chmod");
            continue;
        }
        if (errno != EEXIST) fail("mkdir");
        if (!isDirectory(partial)) fail("mkdir", ENOTDIR);
    }
}

void PosixFileSystem::createDirectories(const std::filesystem::path& path, mode_t mode) {
    makeDirectories(path, mode);
}

bool PosixFileSystem::exists(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string PosixFileSystem::readFile(const std::filesystem::path& path, std::size_t spare) {
    return readRegularFile(path, std::numeric_limits<std::size_t>::max(), spare);
}

bool PosixFileSystem::holds(const std::filesystem::path& path, std::span<const std::string_view> pieces) {
    return regularFileHolds(path, pieces);
}

void PosixFileSystem::writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
    replaceAtomically(path, bytes);
}

std::unique_ptr<StagedFile> PosixFileSystem::stageFile(const std::filesystem::path& path,
                                                       std::span<const std::string_view> pieces) {
    return stageReplacement(path, pieces);
}

void PosixFileSystem::setPermissions(const std::filesystem::path& path, mode_t mode) {
    if (::chmod(path.c_str(), mode) != 0) fail("chmod");
}

int PosixFileSystem::open(const std::filesystem::path& path, int flags, mode_t mode) {
    // The ledger and its lock: only ever a regular file, and never a wait.
    return openRegular(path, flags, mode);
}

int PosixFileSystem::flock(int fd, int operation) { return ::flock(fd, operation); }

int PosixFileSystem::close(int fd) { return ::close(fd); }

}  // namespace tamsel::platform
