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
    // Room for the whole file at once: grown by appending, the string would end
    // up to twice the file's size, and hold both copies while it grows.
    struct stat info {};
    if (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        bytes.reserve(static_cast<std::size_t>(info.st_size));
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

namespace {

class TemporaryBeside final : public StagedFile {
  public:
    TemporaryBeside(const std::filesystem::path& path, std::string_view bytes)
        : path_(path),
          directory_(path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path()) {
        // Appended piece by piece: g++ 12 at -O3 warns (-Wrestrict) about "." + string&&.
        std::string temporary = ".";
        temporary += path.filename().string();
        temporary += ".XXXXXX";
        std::string pattern = (directory_ / temporary).string();
        name_.assign(pattern.begin(), pattern.end());
        name_.push_back('\0');
        Descriptor fd(::mkostemp(name_.data(), O_CLOEXEC));
        if (fd.get() < 0) fail("mkstemp");
        try {
            writeAll(fd.get(), bytes);
            if (::fsync(fd.get()) != 0) fail("fsync");
            if (fd.release() != 0) fail("close");
        } catch (...) {
            ::unlink(name_.data());
            throw;
        }
        staged_ = true;
    }
    ~TemporaryBeside() override {
        if (staged_) ::unlink(name_.data());
    }

    void commit() override {
        if (::rename(name_.data(), path_.c_str()) != 0) fail("rename");
        staged_ = false;
        // The rename itself is durable only once the directory is.
        Descriptor dir(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() < 0) fail("open");
        if (::fsync(dir.get()) != 0) fail("fsync");
    }

  private:
    std::filesystem::path path_;
    std::filesystem::path directory_;
    std::vector<char> name_;
    bool staged_ = false;
};

}  // namespace

std::unique_ptr<StagedFile> PosixFileSystem::stage(const std::filesystem::path& path,
                                                   std::string_view bytes) {
    return std::make_unique<TemporaryBeside>(path, bytes);
}

void PosixFileSystem::replaceFile(const std::filesystem::path& path, std::string_view bytes) {
    stage(path, bytes)->commit();
}

void PosixFileSystem::writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
    replaceFile(path, bytes);
}

std::unique_ptr<StagedFile> PosixFileSystem::stageFile(const std::filesystem::path& path,
                                                       std::string_view bytes) {
    return stage(path, bytes);
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
