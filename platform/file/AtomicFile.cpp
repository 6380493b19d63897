#include "platform/file/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace tamsel::platform {
namespace {

[[noreturn]] void fail(const char* operation, int error = errno) { throw FileSystemError(error, operation); }

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
        if (!fd) fail("mkstemp");
        try {
            writeAll(fd.get(), bytes);
            if (::fsync(fd.get()) != 0) fail("fsync");
            if (fd.close() != 0) fail("close");
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
        if (!dir) fail("open");
        if (::fsync(dir.get()) != 0) fail("fsync");
    }

  private:
    std::filesystem::path path_;
    std::filesystem::path directory_;
    std::vector<char> name_;
    bool staged_ = false;
};

}  // namespace

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Descriptor::~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

int Descriptor::close() {
    int result = ::close(fd_);
    fd_ = -1;
    return result;
}

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

std::string readRegularFile(const std::filesystem::path& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) fail("open");
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

std::unique_ptr<StagedFile> stageReplacement(const std::filesystem::path& path, std::string_view bytes) {
    return std::make_unique<TemporaryBeside>(path, bytes);
}

void replaceAtomically(const std::filesystem::path& path, std::string_view bytes) {
    stageReplacement(path, bytes)->commit();
}

}  // namespace tamsel::platform
