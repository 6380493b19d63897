#include "platform/file/PosixFileSystem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace tamsel::platform {
namespace {

[[noreturn]] void fail(const char* operation, int error = errno) { throw FileSystemError(error, operation); }

// Closes a descriptor on every exit of the scope that opened it.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports a failure, which matters after writing.
    int release() {
        int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

  private:
    int fd_;
};

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            fail("write");
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

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

std::string PosixFileSystem::readWholeFile(const std::filesystem::path& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) fail("open");
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("read");
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

std::string PosixFileSystem::readFile(const std::filesystem::path& path) { return readWholeFile(path); }

void PosixFileSystem::replaceFile(const std::filesystem::path& path, std::string_view bytes) {
    auto directory = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
    std::string pattern = (directory / ("." + path.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    Descriptor fd(::mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() < 0) fail("mkstemp");
    try {
        writeAll(fd.get(), bytes);
        if (::fsync(fd.get()) != 0) fail("fsync");
        if (fd.release() != 0) fail("close");
        if (::rename(name.data(), path.c_str()) != 0) fail("rename");
    } catch (...) {
        ::unlink(name.data());
        throw;
    }
    // The rename itself is durable only once the directory is.
    Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) fail("open");
    if (::fsync(dir.get()) != 0) fail("fsync");
}

void PosixFileSystem::writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
    replaceFile(path, bytes);
}

void PosixFileSystem::setPermissions(const std::filesystem::path& path, mode_t mode) {
    if (::chmod(path.c_str(), mode) != 0) fail("chmod");
}

int PosixFileSystem::open(const std::filesystem::path& path, int flags, mode_t mode) {
    return ::open(path.c_str(), flags, mode);
}

int PosixFileSystem::flock(int fd, int operation) { return ::flock(fd, operation); }

int PosixFileSystem::close(int fd) { return ::close(fd); }

}  // namespace tamsel::platform
