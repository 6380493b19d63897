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
    try {
        if (!key.returnData) {
            (void)openRegularFile(path, O_RDONLY);
            return {kErrSecSuccess, std::nullopt};
        }
        std::string bytes = readRegularFile(path, kLargestItem);
        return {kErrSecSuccess, KeychainData(bytes.begin(), bytes.end())};
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
