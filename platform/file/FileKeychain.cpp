#include "platform/file/FileKeychain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace tamsel::platform {
namespace {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// Makes the directory with exactly 0700 (whatever the umask) unless it exists.
bool makePrivateDirectory(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0700) == 0) return ::chmod(path.c_str(), 0700) == 0;
    if (errno != EEXIST) return false;
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool writeAll(int fd, const KeychainData& data) {
    std::size_t written = 0;
    while (written < data.size()) {
        ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

bool syncDirectory(const std::filesystem::path& path) {
    FileDescriptor dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.get() >= 0 && ::fsync(dir.get()) == 0;
}

}  // namespace

bool isSafeKeychainAttribute(const std::string& value) {
    return !value.empty() && value != "." && value != ".." && value.find('/') == std::string::npos &&
           value.find('\0') == std::string::npos;
}

FileKeychain::FileKeychain(std::filesystem::path platformRoot)
    : directory_(std::move(platformRoot) / "keychain") {}

KeychainResult FileKeychain::copyMatching(const KeychainQuery& query) {
    auto checked = itemKeyOf(query);
    if (const auto* status = std::get_if<KeychainStatus>(&checked)) return {*status, std::nullopt};
    const auto& key = std::get<KeychainItemKey>(checked);
    if (!isSafeKeychainAttribute(key.accessGroup) || !isSafeKeychainAttribute(key.service) ||
        !isSafeKeychainAttribute(key.account))
        return {kErrSecParam, std::nullopt};

    const auto path = directory_ / key.accessGroup / key.service / key.account;
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return {kErrSecItemNotFound, std::nullopt};
        if (errno == EACCES || errno == EPERM) return {kErrSecInteractionNotAllowed, std::nullopt};
        return {kErrSecIO, std::nullopt};
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return {kErrSecIO, std::nullopt};
    if (!key.returnData) return {kErrSecSuccess, std::nullopt};

    KeychainData data;
    std::uint8_t buffer[4096];
    for (;;) {
        ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return {kErrSecIO, std::nullopt};
        if (n == 0) break;
        data.insert(data.end(), buffer, buffer + n);
    }
    return {kErrSecSuccess, std::move(data)};
}

KeychainStatus FileKeychain::store(const std::string& accessGroup, const std::string& service,
                                   const std::string& account, const KeychainData& data) {
    if (!isSafeKeychainAttribute(accessGroup) || !isSafeKeychainAttribute(service) ||
        !isSafeKeychainAttribute(account))
        return kErrSecParam;

    // The platform root itself may be shared with other state; only what lies
    // below "keychain" is private.
    std::error_code error;
    std::filesystem::create_directories(directory_.parent_path(), error);
    if (error) return kErrSecIO;
    const auto itemDirectory = directory_ / accessGroup / service;
    for (const auto& dir : {directory_, directory_ / accessGroup, itemDirectory})
        if (!makePrivateDirectory(dir)) return kErrSecIO;

    std::string temporary = (itemDirectory / ("." + account + ".XXXXXX")).string();
    FileDescriptor file(::mkstemp(temporary.data()));  // 0600
    if (file.get() < 0) return kErrSecIO;
    const bool written =
        ::fchmod(file.get(), 0600) == 0 && writeAll(file.get(), data) && ::fsync(file.get()) == 0;
    const bool closed = ::close(file.release()) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), (itemDirectory / account).c_str()) != 0) {
        ::unlink(temporary.c_str());
        return kErrSecIO;
    }
    return syncDirectory(itemDirectory) ? kErrSecSuccess : kErrSecIO;
}

}  // namespace tamsel::platform
