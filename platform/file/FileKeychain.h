#pragma once
// A keychain kept in files under the platform root:
//     <root>/keychain/<access group>/<service>/<account>
// holds the item's bytes. Directories are made 0700, item files 0600. An access
// group, service or account that is empty, contains "/" or NUL, or is "." or ".."
// is refused with kErrSecParam and never becomes part of a path.
//
// The extension only reads; store() stands in for the main application writing
// the item. A run reads the item before every exchange with the service, so the
// bytes last read are kept and read again only when the file's identity, size,
// modification or change time differ (a replaced or edited item always does). Both are safe from any thread
// and any process: an item is replaced atomically (temporary file, fsync, rename), so a reader sees the old
// bytes or the new ones, never a mix.
#include <sys/stat.h>

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Keychain.h"

namespace tamsel::platform {

class FileKeychain final : public Keychain {
  public:
    explicit FileKeychain(std::filesystem::path platformRoot);

    // An item holds a credential of a few hundred bytes; a file larger than this
    // is not one, and is not read past it.
    static constexpr std::size_t kLargestItem = 64 * 1024;

    // Missing item: kErrSecItemNotFound; unreadable file: kErrSecInteractionNotAllowed;
    // any other read failure (a directory, FIFO or link in the item's place, a
    // file larger than kLargestItem): kErrSecIO, at once.
    KeychainResult copyMatching(const KeychainQuery& query) override;

    // Adds or replaces the generic-password item. kErrSecParam for a refused
    // attribute, kErrSecIO when the files cannot be written.
    KeychainStatus store(const std::string& accessGroup, const std::string& service,
                         const std::string& account, const KeychainData& data);

    const std::filesystem::path& directory() const { return directory_; }

  private:
    // The bytes of one item file as last read, and what its stat said before.
    struct Remembered {
        std::string path;
        struct stat before {};
        std::string bytes;
    };

    std::filesystem::path directory_;  // <root>/keychain
    std::mutex mutex_;
    std::optional<Remembered> remembered_;
};

// True when the attribute may name a directory or file of the file keychain.
bool isSafeKeychainAttribute(const std::string& value);

}  // namespace tamsel::platform
