#include "platform/file/FileKeychain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/file/AtomicFile.h"

namespace tamsel::platform {
namespace {

// Makes the directory with exactly 0700 (whatever the umask) unless it exists.
bool makePrivateDirectory(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0700) == 0) return ::chmod(path.c_str(), 0700) == 0;
    if (errno != EEXIST) return false;
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool sameVersion(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mode == b.st_mode &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
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

    // Joined as text: each attribute is one safe component (checked above), and the
    // credential is looked up before every exchange.
    std::string path = directory_.native();
    for (const std::string* part : {&key.accessGroup, &key.service, &key.account}) (path += '/') += *part;
    try {
        if (!key.returnData) {
            (void)openRegularFile(path, O_RDONLY);
            return {kErrSecSuccess, std::nullopt};
        }
        // Taken before reading: should the item change in between, the next
        // lookup sees another stat and reads it again.
        struct stat before {};
        const bool known = ::lstat(path.c_str(), &before) == 0 && S_ISREG(before.st_mode);
        {
            std::lock_guard guard(mutex_);
            if (known && remembered_ && remembered_->path == path && sameVersion(remembered_->before, before))
                return {kErrSecSuccess, KeychainData(remembered_->bytes.begin(), remembered_->bytes.end())};
        }
        std::string bytes = readRegularFile(path, kLargestItem);
        KeychainData data(bytes.begin(), bytes.end());
        std::lock_guard guard(mutex_);
        if (known)
            remembered_ = Remembered{path, before, std::move(bytes)};
        else
            remembered_.reset();
        return {kErrSecSuccess, std::move(data)};
    } catch (const FileSystemError& error) {
        switch (error.code().value()) {
            case ENOENT:
            case ENOTDIR:
                return {kErrSecItemNotFound, std::nullopt};
            case EACCES:
            case EPERM:
                return {kErrSecInteractionNotAllowed, std::nullopt};
            default:
                return {kErrSecIO, std::nullopt};
        }
    }
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

    try {
        replaceAtomically(itemDirectory / account,
                          std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    } catch (const FileSystemError&) {
        return kErrSecIO;
    }
    return kErrSecSuccess;
}

}  // namespace tamsel::platform
