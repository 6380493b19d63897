#pragma once
// The files the extension may touch: the application group's shared container,
// the user's application-support directory and plain POSIX file operations.
//
// Throwing operations report FileSystemError (a std::system_error carrying the
// errno). open(), flock() and close() are thin system calls that return the raw
// result (negative or non-zero on failure, errno set), as the ledger's locking
// needs them. Every operation is synchronous and may be called from any thread.
#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/PlatformError.h"

namespace tamsel::platform {

class FileSystemError : public std::system_error, public Error {
  public:
    FileSystemError(int error, const char* operation)
        : std::system_error(error, std::generic_category(), operation),
          Error(ErrorDomain::fileSystem, error) {}
    using std::system_error::code;
};

// Bytes written in full beside a file and made durable, not yet in its place.
// Destroying one that was not committed removes it; the file is then untouched.
class StagedFile {
  public:
    virtual ~StagedFile() = default;
    // Puts the bytes in the file's place atomically (it holds the old or the new
    // bytes, never a part). Called at most once.
    virtual void commit() = 0;
};

class FileSystem {
  public:
    virtual ~FileSystem() = default;

    // The container directory shared by the application group, or nothing when
    // this group has no container.
    virtual std::optional<std::filesystem::path> containerDirectory(const std::string& group) = 0;
    // The user's application-support directory, created when missing.
    virtual std::filesystem::path applicationSupportDirectory() = 0;

    // Creates the directory and every missing parent, each created one with
    // exactly `mode`. An existing directory is left as it is.
    virtual void createDirectories(const std::filesystem::path& path, mode_t mode) = 0;
    virtual bool exists(const std::filesystem::path& path) = 0;
    // The file's bytes, with room kept for `spare` more after them (a hint, for
    // a caller that goes on appending to them).
    virtual std::string readFile(const std::filesystem::path& path, std::size_t spare) = 0;
    std::string readFile(const std::filesystem::path& path) { return readFile(path, 0); }
    // True when the file holds exactly the pieces joined in order. This default
    // reads it whole; a file system that can should compare it a part at a
    // time, so that a large file is not held in memory to be compared.
    virtual bool holds(const std::filesystem::path& path, std::span<const std::string_view> pieces);
    // Leaves the file holding either its old or its new bytes, never a part.
    virtual void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) = 0;
    // writeFileAtomically() in two halves, for a caller that wants the slow one
    // (writing and syncing the bytes) done before some event and only the
    // replace after it. The file keeps its old bytes until commit(). The bytes
    // are the pieces joined in order, so that a large file need not be joined
    // in memory first. This default joins them and makes the whole write on
    // commit().
    virtual std::unique_ptr<StagedFile> stageFile(const std::filesystem::path& path,
                                                  std::span<const std::string_view> pieces);
    std::unique_ptr<StagedFile> stageFile(const std::filesystem::path& path, std::string_view bytes) {
        return stageFile(path, std::span<const std::string_view>(&bytes, 1));
    }
    virtual void setPermissions(const std::filesystem::path& path, mode_t mode) = 0;

    virtual int open(const std::filesystem::path& path, int flags, mode_t mode) = 0;
    virtual int flock(int fd, int operation) = 0;
    virtual int close(int fd) = 0;
};

}  // namespace tamsel::platform
